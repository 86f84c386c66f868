#pragma once
// The number syntax shared by the configuration file and the command line:
// decimal digits, optionally preceded by '+'; single '_' characters may stand
// between digits (not first, not last, not doubled). A '-' sign is accepted by
// the unsigned readers only when the value is zero ("-0", "-0_0").
//
// Errors: InvalidCharacter for any syntax fault (including empty text),
// Overflow when the value does not fit the requested type.

#include <cstdint>
#include <limits>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max_value);
Result<std::int64_t> parse_signed64(std::string_view text);

// The unsigned reader narrowed to one width; Overflow beyond that width.
template <typename T>
Result<T> parse_unsigned_as(std::string_view text) {
  auto value = parse_unsigned(text, std::numeric_limits<T>::max());
  if (!value) return fail(value.error());
  return static_cast<T>(*value);
}
inline Result<std::uint8_t> parse_u8(std::string_view t) {
  return parse_unsigned_as<std::uint8_t>(t);
}
inline Result<std::uint16_t> parse_u16(std::string_view t) {
  return parse_unsigned_as<std::uint16_t>(t);
}
inline Result<std::uint32_t> parse_u32(std::string_view t) {
  return parse_unsigned_as<std::uint32_t>(t);
}
inline Result<std::uint64_t> parse_u64(std::string_view t) {
  return parse_unsigned(t, UINT64_MAX);
}

// The same syntax in base 8 (digits 0-7), for file modes.
Result<std::uint64_t> parse_unsigned_octal(std::string_view text, std::uint64_t max_value);

// Appends the decimal form of a number (no leading zeros) to out; returns the
// number of characters written. Used where a line is built without allocating.
std::size_t format_decimal(std::uint64_t value, char (&out)[20]);

}  // namespace tessvane
