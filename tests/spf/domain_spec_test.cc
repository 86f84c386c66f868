#include "spf/domain_spec.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tessvane {
namespace {

struct MacroStringCase {
  std::string_view text;
  Result<bool> ends_with_macro_expand;
};

Result<bool> macro_string_flag(std::string_view text) {
  const auto check = validate_macro_string(text);
  if (!check) return fail(check.error());
  return check->ends_with_macro_expand;
}

TEST(ValidateMacroString, AcceptsVisibleAsciiAndWellFormedMacros) {
  const auto macro = fail(ErrorCode::InvalidMacro);
  const auto domain = fail(ErrorCode::InvalidDomainSpec);
  const MacroStringCase cases[] = {
      {"", false},
      {"example.com", false},
      {"!~", false},
      {"%{d}", true},
      {"%{d}.com", false},
      {"%{i}.%{d}._spf.%{d}", true},
      {"x%%", true},
      {"x%-", true},
      {"x%_", true},
      {"%%x", false},
      {"%%%{d}x", false},
      {"%{s}%{l}%{o}%{d}%{i}%{p}%{h}%{v}", true},
      {"%{S}%{L}%{O}%{D}%{I}%{P}%{H}%{V}", true},
      {"%{d2r.-}", true},
      {"%{dR}", true},
      {"%{d.-+,/_=}", true},
      {"%{d2r+}", true},
      {"%{d0}", true},  // fails only when expanded
      {"%{d99999999999999999999999}", true},
      {"%{c}", macro},
      {"%{r}", macro},
      {"%{t}", macro},
      {"%{x}", macro},
      {"%{}", macro},
      {"%{d", macro},
      {"%{d2", macro},
      {"%{d r}", macro},
      {"%{drr}", macro},
      {"%{d.r}", macro},
      {"%{d.2}", macro},
      {"%{d}}", false},
      {"%", macro},
      {"a%", macro},
      {"%x", macro},
      {"%{d}%", macro},
      {"% ", macro},
      {"a b", domain},
      {"a\tb", domain},
      {"\x7f", domain},
      {"\x80", domain},
      {std::string_view("a\0b", 3), domain},
      {"a\x01%{c}", domain},  // the first fault met is reported
      {"%{c}\x01", macro},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(macro_string_flag(c.text), c.ends_with_macro_expand) << "text: \"" << c.text << '"';
  }
}

struct DomainSpecCase {
  std::string_view text;
  Status expected;
};

TEST(ValidateDomainSpec, RequiresATopLabelUnlessItEndsWithAMacro) {
  const auto macro = fail(ErrorCode::InvalidMacro);
  const auto domain = fail(ErrorCode::InvalidDomainSpec);
  const DomainSpecCase cases[] = {
      {"example.com", {}},
      {"example.com.", {}},
      {"mail.example.c-m", {}},
      {"example.1a", {}},
      {"EXAMPLE.COM", {}},
      {".com", {}},
      {"a..b.com", {}},  // labels before the top label are not tested
      {"%{d}", {}},
      {"%{i}.%{d}._spf.%{d}", {}},
      {"%{d}.example.com", {}},
      {"foo%%", {}},
      {"example.com.%-", {}},
      {"", domain},
      {"example", domain},
      {"com.", domain},
      {".", domain},
      {"example.com..", domain},
      {"example.123", domain},
      {"192.0.2.1", domain},
      {"example.-com", domain},
      {"example.com-", domain},
      {"example.co_m", domain},
      {"example.com/24", domain},
      {"b=c", domain},
      {"foo.%{d}x", domain},
      {"exa mple.com", domain},
      {"example.com\r", domain},
      {"%{c}.example.com", macro},
      {"example.com.%", macro},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(validate_domain_spec(c.text), c.expected) << "text: \"" << c.text << '"';
  }
}

}  // namespace
}  // namespace tessvane
