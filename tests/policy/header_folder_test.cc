#include "policy/header_folder.h"

#include <gtest/gtest.h>

#include <string>

namespace tessvane {
namespace {

TEST(HeaderFolder, StartsAfterTheHeaderName) {
  const HeaderFolder folder;
  EXPECT_EQ(folder.column, std::string_view("Authentication-Results: ").size());
  EXPECT_EQ(folder.width, 78U);
  EXPECT_TRUE(folder.output.empty());
}

TEST(HeaderFolder, FillsTheLineUpToTheWidthExactly) {
  HeaderFolder folder;
  folder.column = 70;
  folder.append(" ", "1234567");  // 70 + 1 + 7 = 78: still fits
  EXPECT_EQ(folder.output, " 1234567");
  EXPECT_EQ(folder.column, 78U);
  folder.append(" ", "x");  // 80 would pass the width
  EXPECT_EQ(folder.output, " 1234567\r\n\tx");
  EXPECT_EQ(folder.column, 2U);
}

TEST(HeaderFolder, BreakDropsOnlyTrailingSpacesAndTabsOfTheSeparator) {
  HeaderFolder folder;
  folder.column = 78;
  folder.append(" \t ", "a");
  folder.column = 78;
  folder.append("; \t", "b");
  EXPECT_EQ(folder.output, "\r\n\ta;\r\n\tb");
}

TEST(HeaderFolder, NeverBreaksAnEmptyLineOrInsideAToken) {
  HeaderFolder folder;
  folder.break_line();
  const std::string long_token(100, 'x');
  folder.append(" ", long_token);  // column 1: a break would only add a line
  EXPECT_EQ(folder.output, "\r\n\t " + long_token);
  EXPECT_EQ(folder.column, 102U);
  folder.append("", "y");
  EXPECT_EQ(folder.output, "\r\n\t " + long_token + "\r\n\ty");
}

}  // namespace
}  // namespace tessvane
