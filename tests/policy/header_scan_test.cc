#include "policy/header_scan.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tessvane {
namespace {

struct ScanCase {
  std::string_view text;
  std::size_t position;
  std::size_t end;
};

TEST(HeaderScan, SkipCommentFindsTheMatchingParenthesis) {
  const ScanCase cases[] = {
      {"(abc) x", 0, 5},      {"x (y) z", 2, 5}, {"(a(b)c) x", 0, 7},  // nested
      {"(a(b(c))d)e", 0, 10},                                          // nested twice
      {"(a\\)b) x", 0, 6},                     // escaped ')' does not end it
      {"(a\\(b) x", 0, 6},                     // escaped '(' does not nest
      {"(a\"b)c\" x", 0, 5},                   // no quoted strings inside comments
      {"(a))", 0, 3},                          // the stray ')' after it is not its business
      {"()", 0, 2},           {"(abc", 0, 4},  // unterminated: end of text
      {"(a(b)", 0, 5},                         // unterminated after a nested comment
      {"(a\\", 0, 3},                          // backslash as the last byte
      {"(a)", 7, 3},                           // position past the end
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(skip_comment(c.text, c.position), c.end) << c.text;
  }
}

TEST(HeaderScan, SkipQuotedFindsTheFirstUnescapedQuote) {
  const ScanCase cases[] = {
      {"\"abc\" x", 0, 5},   {"x\"y\"z", 1, 4},
      {"\"\"", 0, 2},        {"\"a\\\"b\" x", 0, 6},  // escaped quotation mark
      {"\"a\\\\\" x", 0, 5},                          // escaped backslash, then the closing mark
      {"\"a(b\" x", 0, 5},                            // parentheses are ordinary inside
      {"\"abc", 0, 4},                                // unterminated: end of text
      {"\"a\\", 0, 3},                                // backslash as the last byte
      {"\"", 0, 1},          {"\"a\"", 9, 3},         // position past the end
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(skip_quoted(c.text, c.position), c.end) << c.text;
  }
}

TEST(HeaderScan, ScanTokenStopsAtWhitespaceAndComments) {
  const ScanCase cases[] = {
      {"abc def", 0, 3},
      {"abc\tdef", 0, 3},
      {"abc\ndef", 0, 3},
      {"abc\rdef", 0, 3},
      {"abc(def)", 0, 3},
      {"a\vb\fc d", 0, 5},        // VT and FF are part of the token
      {"spf=pass; dkim", 0, 9},   // ';' is part of the token
      {"a=\"b c(d\" e", 0, 9},    // a quoted string is passed over whole
      {"a=\"b\\\" c\" e", 0, 9},  // with an escaped quotation mark in it
      {"a=\"b c", 0, 6},          // unterminated quoted string: end of text
      {"abc", 0, 3},
      {" abc", 0, 0},
      {"x abc", 2, 5},
      {"abc", 5, 3},  // position past the end
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(scan_token(c.text, c.position), c.end) << c.text;
  }
}

}  // namespace
}  // namespace tessvane
