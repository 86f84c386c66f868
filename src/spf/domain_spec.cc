#include "spf/domain_spec.h"

#include "base/text.h"

namespace tessvane {
namespace {

// '%', '{', the letter and '}' at least.
constexpr std::size_t kMacroMinLength = 4;
constexpr std::string_view kMacroLetters = "slodiphv";
constexpr std::string_view kMacroDelimiters = ".-+,/_=";

bool is_visible_ascii(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x21 && byte <= 0x7E;
}

// Reads the macro whose '%' stands at text[pos]; returns the position after
// its '}'.
Result<std::size_t> scan_macro(std::string_view text, std::size_t pos) noexcept {
  if (text.size() - pos < kMacroMinLength) return fail(ErrorCode::InvalidMacro);
  std::size_t i = pos + 2;
  if (kMacroLetters.find(ascii_lower(text[i])) == std::string_view::npos) {
    return fail(ErrorCode::InvalidMacro);
  }
  ++i;
  while (i < text.size() && is_ascii_digit(text[i])) ++i;
  if (i < text.size() && (text[i] == 'r' || text[i] == 'R')) ++i;
  while (i < text.size() && kMacroDelimiters.find(text[i]) != std::string_view::npos) ++i;
  if (i == text.size() || text[i] != '}') return fail(ErrorCode::InvalidMacro);
  return i + 1;
}

bool valid_top_label(std::string_view label) noexcept {
  if (label.empty() || label.front() == '-' || label.back() == '-') return false;
  bool has_letter = false;
  for (char c : label) {
    if (is_ascii_letter(c)) {
      has_letter = true;
    } else if (!is_ascii_digit(c) && c != '-') {
      return false;
    }
  }
  return has_letter;
}

}  // namespace

Result<MacroStringCheck> validate_macro_string(std::string_view text) noexcept {
  MacroStringCheck check;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] != '%') {
      if (!is_visible_ascii(text[pos])) return fail(ErrorCode::InvalidDomainSpec);
      check.ends_with_macro_expand = false;
      ++pos;
      continue;
    }
    if (pos + 1 == text.size()) return fail(ErrorCode::InvalidMacro);
    const char next = text[pos + 1];
    if (next == '%' || next == '-' || next == '_') {
      pos += 2;
    } else if (next == '{') {
      const auto end = scan_macro(text, pos);
      if (!end) return fail(end.error());
      pos = *end;
    } else {
      return fail(ErrorCode::InvalidMacro);
    }
    check.ends_with_macro_expand = true;
  }
  return check;
}

Status validate_domain_spec(std::string_view text) noexcept {
  if (text.empty()) return fail(ErrorCode::InvalidDomainSpec);
  const auto check = validate_macro_string(text);
  if (!check) return fail(check.error());
  if (check->ends_with_macro_expand) return {};
  if (text.ends_with('.')) text.remove_suffix(1);
  const auto last_dot = text.rfind('.');
  if (last_dot == std::string_view::npos || !valid_top_label(text.substr(last_dot + 1))) {
    return fail(ErrorCode::InvalidDomainSpec);
  }
  return {};
}

}  // namespace tessvane
