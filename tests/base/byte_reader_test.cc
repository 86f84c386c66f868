#include "base/byte_reader.h"

#include <gtest/gtest.h>

namespace tessvane {
namespace {

TEST(ByteReader, ReadsBigEndianFieldsAndRefusesToPassTheEnd) {
  ByteReader r(std::string_view("\x01\x02\x03\x04\x05\x06\x07", 7));
  EXPECT_EQ(r.read_u8(), 1);
  EXPECT_EQ(r.read_u16_be(), 0x0203);
  EXPECT_EQ(r.read_u32_be(), 0x04050607u);
  EXPECT_EQ(r.read_u8(), std::nullopt);
  EXPECT_EQ(r.position(), 7u);
}

TEST(ByteReader, FailedReadsLeaveThePositionAlone) {
  ByteReader r(
      std::string_view("\x00\x00\x00\x05"
                       "abc",
                       7));
  EXPECT_EQ(r.read_u32_be(), 5u);
  EXPECT_EQ(r.read_bytes(5), std::nullopt);
  EXPECT_EQ(r.position(), 4u);
  EXPECT_FALSE(r.skip(4));
  EXPECT_FALSE(r.seek(8));
  EXPECT_TRUE(r.seek(7));
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(r.read_u8(), std::nullopt);
  EXPECT_EQ(r.read_u16_be(), std::nullopt);
}

TEST(ByteReader, DelimitedPiecesAndSubReaders) {
  ByteReader r(std::string_view("name\0value\0tail", 15));
  auto name = r.read_until(std::byte{0});
  ASSERT_TRUE(name);
  EXPECT_EQ(as_text(*name), "name");
  EXPECT_EQ(as_text(r.read_until_or_end(std::byte{0})), "value");
  EXPECT_EQ(r.read_until(std::byte{0}), std::nullopt);
  EXPECT_EQ(r.position(), 11u);
  EXPECT_EQ(as_text(r.read_until_or_end(std::byte{0})), "tail");
  EXPECT_TRUE(r.at_end());

  ByteReader outer(std::string_view("abcdef"));
  auto inner = outer.sub_reader(4);
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->size(), 4u);
  EXPECT_EQ(outer.position(), 4u);
  EXPECT_EQ(outer.sub_reader(3), std::nullopt);
}

}  // namespace
}  // namespace tessvane
