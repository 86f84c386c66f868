// The fixed-buffer log text: pieces, numbers and sanitized peer texts, and
// what is dropped when the line is full.

#include "log/fixed_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "base/text.h"

namespace tessvane {
namespace {

TEST(FixedLine, NumbersAsDecimal) {
  struct Case {
    std::int64_t value;
    std::string_view text;
  };
  const Case cases[] = {
      {0, "0"},
      {-1, "-1"},
      {1234567, "1234567"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    FixedLine line;
    line.signed_number(c.value);
    EXPECT_EQ(line.text(), c.text);
    EXPECT_EQ(line.text(), cat(c.value)) << "as the allocating builder writes it";
  }
  FixedLine unsigned_line;
  unsigned_line << std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(unsigned_line.text(), "18446744073709551615");
}

// The same bytes as append_sanitized, for every byte value.
TEST(FixedLine, SanitizedLikeTheAllocatingRule) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  for (const std::string_view text : {std::string_view(), std::string_view("mx.example"),
                                      std::string_view("a b\tc\n"),
                                      std::string_view(every_byte)}) {
    FixedLine line;
    line << "x=";
    line.sanitized(text) << ".";
    EXPECT_EQ(line.text(), cat("x=", sanitized(text), "."));
  }
}

TEST(FixedLine, WhatDoesNotFitIsDropped) {
  const std::string long_text(kLogLineMax - 3, 'a');
  FixedLine line;
  line << long_text;
  line.sanitized("b\x01" "cd") << "more";
  line.signed_number(-5);
  EXPECT_EQ(line.text(), long_text + "b_c");
}

}  // namespace
}  // namespace tessvane
