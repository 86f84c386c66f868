#include "base/text.h"

#include <gtest/gtest.h>

#include "base/error_code.h"

namespace tessvane {
namespace {

TEST(Trim, RemovesTheSixWhitespaceBytesAtBothEnds) {
  EXPECT_EQ(trim(" \t\r\n\v\fkey = v \r\n"), "key = v");
  EXPECT_EQ(trim(" \t \r\n"), "");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim("a b"), "a b");
  EXPECT_EQ(trim("\v 5 M \t", kSpaceTab), "\v 5 M");
}

TEST(CaseHelpers, FoldOnlyAsciiLetters) {
  EXPECT_TRUE(iequals("V=SPF1", "v=spf1"));
  EXPECT_FALSE(iequals("v=spf1", "v=spf10"));
  EXPECT_FALSE(iequals("\xC4", "\xE4"));  // Latin-1 letters are not folded
  EXPECT_TRUE(istarts_with("Listener:a", "listener:"));
  EXPECT_TRUE(iends_with("mail.EXAMPLE.org", ".example.ORG"));
  EXPECT_FALSE(iends_with("org", ".org"));
  EXPECT_EQ(ascii_lowercase("MiXeD.Example.\xC4"), "mixed.example.\xC4");
}

TEST(Sanitized, ReplacesBytesOutsideVisibleAscii) {
  EXPECT_EQ(sanitized(""), "-");
  EXPECT_EQ(sanitized("mx.example"), "mx.example");
  EXPECT_EQ(sanitized(std::string_view("a b\tc\x7f\x80\0d", 9)), "a_b_c___d");
}

TEST(ErrorName, EveryCodeHasItsOwnName) {
  EXPECT_EQ(error_name(ErrorCode::InvalidArgument), "InvalidArgument");
  EXPECT_EQ(error_name(ErrorCode::DnsTimeout), "DnsTimeout");
  EXPECT_EQ(error_name(ErrorCode::BlockedByFirewall), "BlockedByFirewall");
  EXPECT_EQ(error_from_errno(ENOENT), ErrorCode::FileNotFound);
  EXPECT_EQ(error_from_errno(EISDIR), ErrorCode::IsDir);
  EXPECT_EQ(error_from_errno(123456), ErrorCode::Unexpected);
}

}  // namespace
}  // namespace tessvane

namespace tessvane {
namespace {

TEST(Cat, JoinsTextsCharactersAndNumbers) {
  const std::string name = "example.org";
  EXPECT_EQ(cat("dns: ", name, " rcode=", 2, ' ', std::uint64_t{18446744073709551615u}, ' ',
                std::int64_t{-5}),
            "dns: example.org rcode=2 18446744073709551615 -5");
  EXPECT_EQ(cat(), "");
}

}  // namespace
}  // namespace tessvane
