#include "spf/record.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/text.h"
#include "spf/allocation_failure.h"

namespace tessvane {
namespace {

// The record written back with every qualifier explicit, so that a table can
// state what was parsed in one readable line.
std::string describe(const SpfRecord& record) {
  constexpr std::string_view kQualifiers = "+-~?";
  std::string out;
  for (const auto& m : record.mechanisms) {
    if (!out.empty()) out += ' ';
    out += cat(kQualifiers[static_cast<std::size_t>(m.qualifier)], mechanism_name(m.kind));
    if (m.value) out += cat(':', *m.value);
    if (m.ip4_length) out += cat('/', unsigned{*m.ip4_length});
    if (m.ip6_length) {
      out += cat(m.kind == MechanismKind::Ip6 ? "/" : "//", unsigned{*m.ip6_length});
    }
  }
  if (record.redirect) out += cat(out.empty() ? "" : " ", "redirect=", *record.redirect);
  if (record.exp) out += cat(out.empty() ? "" : " ", "exp=", *record.exp);
  return out;
}

struct ParsedCase {
  std::string_view text;
  std::string_view parsed;
};

TEST(ParseSpfRecord, ParsesEveryMechanismAndModifier) {
  const ParsedCase cases[] = {
      {"v=spf1", ""},
      {"v=spf1     ", ""},
      {" \t v=spf1 -all \r\n\v\f", "-all"},
      {"V=SPF1 -ALL", "-all"},
      {"v=spf1 +all -all ~all ?all all", "+all -all ~all ?all +all"},
      {"v=spf1    a   mx  ", "+a +mx"},
      {"v=spf1 a/24", "+a/24"},
      {"v=spf1 a//64", "+a//64"},
      {"v=spf1 a/0//0", "+a/0//0"},
      {"v=spf1 mx:example.com/24//64", "+mx:example.com/24//64"},
      {"v=spf1 MX:Example.COM/32//128", "+mx:Example.COM/32//128"},
      {"v=spf1 a:example.com", "+a:example.com"},
      {"v=spf1 -a:example.com.//48", "-a:example.com.//48"},
      {"v=spf1 a:%{d}/24", "+a:%{d}/24"},
      {"v=spf1 a:%{d}", "+a:%{d}"},
      {"v=spf1 ip4:192.0.2.0/24", "+ip4:192.0.2.0/24"},
      {"v=spf1 ip4:192.0.2.1 IP4:0.0.0.0/0", "+ip4:192.0.2.1 +ip4:0.0.0.0/0"},
      {"v=spf1 ip6:2001:db8::/32", "+ip6:2001:db8::/32"},
      {"v=spf1 ~ip6:::1 ip6:::ffff:192.0.2.1/128", "~ip6:::1 +ip6:::ffff:192.0.2.1/128"},
      {"v=spf1 include:_spf.example.com", "+include:_spf.example.com"},
      {"v=spf1 ?exists:%{i}.%{d}._spf.%{d}", "?exists:%{i}.%{d}._spf.%{d}"},
      {"v=spf1 include:example.com%%", "+include:example.com%%"},
      {"v=spf1 ptr ptr:example.com", "+ptr +ptr:example.com"},
      {"v=spf1 redirect=_spf.example.com", "redirect=_spf.example.com"},
      {"v=spf1 Redirect=%{d} EXP=explain.%{d}", "redirect=%{d} exp=explain.%{d}"},
      {"v=spf1 exp=explain.example.com -all", "-all exp=explain.example.com"},
      {"v=spf1 a=b", ""},
      {"v=spf1 foo=1 foo=2 -all", "-all"},
      {"v=spf1 x-y_z.9= -all", "-all"},
      {"v=spf1 other=%{d2r} -all", "-all"},
      {"v=spf1 v=spf1 -all", "-all"},
  };
  for (const auto& c : cases) {
    const auto record = parse_spf_record(c.text);
    ASSERT_TRUE(record.has_value())
        << "text: \"" << c.text << "\" error " << error_name(record.error());
    EXPECT_EQ(describe(*record), c.parsed) << "text: \"" << c.text << '"';
  }
}

struct ErrorCase {
  std::string_view text;
  ErrorCode expected;
};

TEST(ParseSpfRecord, ReportsTheFirstSyntaxError) {
  using enum ErrorCode;
  const ErrorCase cases[] = {
      {"v=spf1\t-all", UnknownMechanism},
      {"v=spf1 =x", UnknownMechanism},
      {"v=spf1 +", UnknownMechanism},
      {"v=spf1 --all", UnknownMechanism},
      {"v=spf1 ipv4:192.0.2.1", UnknownMechanism},
      {"v=spf1 -all foo", UnknownMechanism},
      {"v=spf1 +a=b", UnknownMechanism},
      {"v=spf1 1a=b", UnknownMechanism},
      {"v=spf1 a:b=c", InvalidDomainSpec},
      {"v=spf1 all:x", UnexpectedArgument},
      {"v=spf1 all/24", UnexpectedArgument},
      {"v=spf1 include", MissingArgument},
      {"v=spf1 exists", MissingArgument},
      {"v=spf1 include/24", MissingArgument},
      {"v=spf1 include/24:example.com", UnknownMechanism},
      {"v=spf1 include:", InvalidDomainSpec},
      {"v=spf1 include:example", InvalidDomainSpec},
      {"v=spf1 include:example.com:80", InvalidDomainSpec},
      {"v=spf1 exists:%{c}.example.com", InvalidMacro},
      {"v=spf1 ptr/24", UnexpectedCidr},
      {"v=spf1 ptr/24:example.com", UnknownMechanism},
      {"v=spf1 ptr:", InvalidDomainSpec},
      {"v=spf1 ip4:192.0.2.0/33", InvalidCidr},
      {"v=spf1 ip4:192.0.2.0/024", InvalidCidr},
      {"v=spf1 ip4:192.0.2.0/", InvalidCidr},
      {"v=spf1 ip4:192.0.2.0/24/24", InvalidCidr},
      {"v=spf1 ip4:/24", MissingArgument},
      {"v=spf1 ip4:", MissingArgument},
      {"v=spf1 ip4", MissingArgument},
      {"v=spf1 ip6", MissingArgument},
      {"v=spf1 ip4/24:192.0.2.0", UnknownMechanism},
      {"v=spf1 ip4:192.0.2.01", InvalidIp},
      {"v=spf1 ip4:192.0.2", InvalidIp},
      {"v=spf1 ip4:::1", InvalidIp},
      {"v=spf1 ip6:192.0.2.1", InvalidIp},
      {"v=spf1 ip6:2001:db8::/129", InvalidCidr},
      {"v=spf1 ip6:2001:db8::/0128", InvalidCidr},
      {"v=spf1 ip6:fe80::1%eth0", InvalidIp},
      {"v=spf1 a/33", InvalidCidr},
      {"v=spf1 a/", InvalidCidr},
      {"v=spf1 a/x", InvalidCidr},
      {"v=spf1 a/024", InvalidCidr},
      {"v=spf1 a//129", InvalidCidr},
      {"v=spf1 a/33//64", InvalidCidr},
      {"v=spf1 a/24/24", InvalidCidr},
      {"v=spf1 mx///64", InvalidCidr},
      {"v=spf1 a:", InvalidDomainSpec},
      {"v=spf1 a:/24", InvalidDomainSpec},
      {"v=spf1 a:example", InvalidDomainSpec},
      {"v=spf1 a:example.123", InvalidDomainSpec},
      {"v=spf1 a:example.com/24/", InvalidDomainSpec},
      {"v=spf1 a/24:example.com", UnknownMechanism},
      {"v=spf1 mx:%{c}", InvalidMacro},
      {"v=spf1 redirect=a.example redirect=b.example", DuplicateModifier},
      {"v=spf1 exp=a.example exp=b.example", DuplicateModifier},
      {"v=spf1 redirect=a.example REDIRECT=a.example", DuplicateModifier},
      {"v=spf1 redirect=", InvalidDomainSpec},
      {"v=spf1 redirect=example", InvalidDomainSpec},
      {"v=spf1 redirect=exa\x01mple.com", InvalidDomainSpec},
      {"v=spf1 redirect=\xc3\xa9xample.com", InvalidDomainSpec},
      {"v=spf1 exp=%{c}.example.com", InvalidMacro},
      {"v=spf1 foo=%", InvalidMacro},
      {"v=spf1 foo=%{x}", InvalidMacro},
      {"v=spf1 foo=\x7f", InvalidDomainSpec},
      {"v=spf1 foo -all", UnknownMechanism},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_spf_record(c.text), fail(c.expected)) << "text: \"" << c.text << '"';
  }
}

TEST(ParseSpfRecord, RejectsATextWithoutTheVersionTag) {
  for (std::string_view text : {"", "   ", "v=spf", "v=spf10 -all", "spf1 -all", "-all"}) {
    EXPECT_EQ(parse_spf_record(text), fail(ErrorCode::RecordSyntax)) << text;
  }
}

// Views outside the record text would dangle once the DNS answer goes.
TEST(ParseSpfRecord, KeepsViewsIntoTheRecordText) {
  const std::string text = "v=spf1 a:mail.example.com/24 ip6:2001:db8::/32 redirect=r.example";
  const auto record = parse_spf_record(text);
  ASSERT_TRUE(record.has_value());
  ASSERT_EQ(record->mechanisms.size(), 2u);
  EXPECT_EQ(record->mechanisms[0].value->data(), text.data() + text.find("mail."));
  EXPECT_EQ(record->mechanisms[1].value->data(), text.data() + text.find("2001"));
  EXPECT_EQ(record->redirect->data(), text.data() + text.find("r.example"));
  EXPECT_FALSE(record->exp.has_value());
}

TEST(ParseSpfRecord, ReportsOutOfMemoryWhenTheMechanismListCannotGrow) {
  // Every allocation the list makes while it grows is refused in turn, until
  // the budget lets the whole record through.
  const std::string_view text = "v=spf1 a mx ptr -all";
  constexpr std::size_t kEnough = 16;
  std::size_t allowed = 0;
  for (; allowed < kEnough; ++allowed) {
    testing::AllocationFailure failure(allowed);
    const auto record = parse_spf_record(text);
    if (failure.refused() == 0) {
      ASSERT_TRUE(record.has_value());
      EXPECT_EQ(record->mechanisms.size(), 4u);
      break;
    }
    EXPECT_EQ(record, fail(ErrorCode::OutOfMemory)) << "allowed " << allowed;
  }
  EXPECT_GT(allowed, 0u) << "the list allocated nothing";
  EXPECT_LT(allowed, kEnough);
}

}  // namespace
}  // namespace tessvane
