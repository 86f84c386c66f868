#include "base/number.h"

namespace tessvane {
namespace {

bool is_digit_of(char c, unsigned base) {
  return c >= '0' && c < static_cast<char>('0' + base);
}

// Reads the digit run with its '_' separators; the sign has been removed.
Result<std::uint64_t> parse_magnitude(std::string_view digits, unsigned base,
                                      std::uint64_t max_value) {
  if (digits.empty() || digits.front() == '_' || digits.back() == '_') {
    return fail(ErrorCode::InvalidCharacter);
  }
  std::uint64_t value = 0;
  bool overflow = false;
  char previous = '\0';
  for (char c : digits) {
    if (c == '_') {
      if (previous == '_') return fail(ErrorCode::InvalidCharacter);
      previous = c;
      continue;
    }
    if (!is_digit_of(c, base)) return fail(ErrorCode::InvalidCharacter);
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max_value - digit) / base) {
      overflow = true;  // keep scanning: a syntax error elsewhere wins
    } else {
      value = value * base + digit;
    }
    previous = c;
  }
  if (overflow) return fail(ErrorCode::Overflow);
  return value;
}

Result<std::uint64_t> parse_unsigned_base(std::string_view text, unsigned base,
                                          std::uint64_t max_value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  auto value = parse_magnitude(text, base, max_value);
  if (value && negative && *value != 0) return fail(ErrorCode::Overflow);
  return value;
}

}  // namespace

Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max_value) {
  return parse_unsigned_base(text, 10, max_value);
}

Result<std::uint64_t> parse_unsigned_octal(std::string_view text, std::uint64_t max_value) {
  return parse_unsigned_base(text, 8, max_value);
}

Result<std::int64_t> parse_signed64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr auto kMaxPositive = static_cast<std::uint64_t>(INT64_MAX);
  auto magnitude = parse_magnitude(text, 10, negative ? kMaxPositive + 1 : kMaxPositive);
  if (!magnitude) return fail(magnitude.error());
  if (!negative) return static_cast<std::int64_t>(*magnitude);
  if (*magnitude == kMaxPositive + 1) return INT64_MIN;
  return -static_cast<std::int64_t>(*magnitude);
}

std::size_t format_decimal(std::uint64_t value, char (&out)[20]) {
  char reversed[20];
  std::size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

}  // namespace tessvane
