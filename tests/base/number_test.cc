#include "base/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace tessvane {
namespace {

struct UnsignedCase {
  std::string_view text;
  std::uint64_t max;
  Result<std::uint64_t> expected;
};

TEST(ParseUnsigned, AcceptsTheSharedSyntaxAndRejectsTheRest) {
  const UnsignedCase cases[] = {
      {"0", UINT16_MAX, 0},
      {"53", UINT16_MAX, 53},
      {"+53", UINT16_MAX, 53},
      {"5_3", UINT16_MAX, 53},
      {"1_000", UINT32_MAX, 1000},
      {"65535", UINT16_MAX, 65535},
      {"65536", UINT16_MAX, fail(ErrorCode::Overflow)},
      {"-0", UINT16_MAX, 0},
      {"-0_0", UINT16_MAX, 0},
      {"-1", UINT16_MAX, fail(ErrorCode::Overflow)},
      {"-3", UINT32_MAX, fail(ErrorCode::Overflow)},
      {"", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"+", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"-", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"_53", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"53_", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"+_53", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"5__3", UINT16_MAX, fail(ErrorCode::InvalidCharacter)},
      {"4x", UINT32_MAX, fail(ErrorCode::InvalidCharacter)},
      {" 4", UINT32_MAX, fail(ErrorCode::InvalidCharacter)},
      {"++4", UINT32_MAX, fail(ErrorCode::InvalidCharacter)},
      {"255", UINT8_MAX, 255},
      {"256", UINT8_MAX, fail(ErrorCode::Overflow)},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, fail(ErrorCode::Overflow)},
      {"99999999999999999999999", UINT64_MAX, fail(ErrorCode::Overflow)},
      // A syntax fault after an overflowing prefix is still a syntax fault.
      {"99999999999999999999999x", UINT64_MAX, fail(ErrorCode::InvalidCharacter)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_unsigned(c.text, c.max), c.expected) << "text: \"" << c.text << '"';
  }
}

TEST(ParseUnsigned, TypedWidthsNarrowOnlyWithinRange) {
  EXPECT_EQ(parse_u8("255"), std::uint8_t{255});
  EXPECT_EQ(parse_u8("256"), fail(ErrorCode::Overflow));
  EXPECT_EQ(parse_u16("+6_5535"), std::uint16_t{65535});
  EXPECT_EQ(parse_u32("4294967295"), std::uint32_t{4294967295u});
  EXPECT_EQ(parse_u32("4294967296"), fail(ErrorCode::Overflow));
  EXPECT_EQ(parse_u64("18_446_744_073_709_551_615"), UINT64_MAX);
}

TEST(ParseSigned64, CoversTheWholeRange) {
  EXPECT_EQ(parse_signed64("20000"), 20000);
  EXPECT_EQ(parse_signed64("-20_000"), -20000);
  EXPECT_EQ(parse_signed64("+7"), 7);
  EXPECT_EQ(parse_signed64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parse_signed64("9223372036854775808"), fail(ErrorCode::Overflow));
  EXPECT_EQ(parse_signed64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_signed64("-9223372036854775809"), fail(ErrorCode::Overflow));
  EXPECT_EQ(parse_signed64("-"), fail(ErrorCode::InvalidCharacter));
  EXPECT_EQ(parse_signed64("1_"), fail(ErrorCode::InvalidCharacter));
}

TEST(ParseUnsignedOctal, AcceptsOnlyOctalDigits) {
  EXPECT_EQ(parse_unsigned_octal("027", UINT16_MAX), 027u);
  EXPECT_EQ(parse_unsigned_octal("0_777", UINT16_MAX), 0777u);
  EXPECT_EQ(parse_unsigned_octal("177777", UINT16_MAX), 0177777u);
  EXPECT_EQ(parse_unsigned_octal("200000", UINT16_MAX), fail(ErrorCode::Overflow));
  EXPECT_EQ(parse_unsigned_octal("8", UINT16_MAX), fail(ErrorCode::InvalidCharacter));
  EXPECT_EQ(parse_unsigned_octal("", UINT16_MAX), fail(ErrorCode::InvalidCharacter));
}

TEST(FormatDecimal, WritesWithoutLeadingZeros) {
  char buffer[20];
  EXPECT_EQ(std::string_view(buffer, format_decimal(0, buffer)), "0");
  EXPECT_EQ(std::string_view(buffer, format_decimal(131, buffer)), "131");
  EXPECT_EQ(std::string_view(buffer, format_decimal(UINT64_MAX, buffer)), "18446744073709551615");
}

}  // namespace
}  // namespace tessvane
