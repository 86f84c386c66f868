#include "spf/macro.h"

#include <gtest/gtest.h>

#include <string>

namespace tessvane {
namespace {

struct MacroCase {
  std::string_view text;
  std::string_view expected;  // ignored when rejected
  bool rejected = false;
};

// Sender first-second@x.y.z, HELO mail.example.org, client 192.0.2.3, the
// current domain x.y.z, and a prepared p value.
MacroValues ipv4_values() {
  MacroValues values;
  values.sender = "first-second@x.y.z";
  values.helo = "mail.example.org";
  values.client_ip = "192.0.2.3";
  values.domain = "x.y.z";
  values.p_value = "mx.example.com";
  return values;
}

void PrintTo(const MacroCase& c, std::ostream* os) {
  *os << "'" << c.text << "'";
}

class MacroTextTest : public ::testing::TestWithParam<MacroCase> {};

TEST_P(MacroTextTest, ExpandsAsRfc7208Section7) {
  const MacroCase& c = GetParam();
  auto expanded = expand_macro_text(ipv4_values(), c.text);
  if (c.rejected) {
    ASSERT_FALSE(expanded) << "'" << c.text << "' gave '" << *expanded << "'";
    EXPECT_EQ(expanded.error(), ErrorCode::RecordSyntax);
  } else {
    ASSERT_TRUE(expanded) << "'" << c.text << "'";
    EXPECT_EQ(*expanded, c.expected) << "'" << c.text << "'";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MacroTextTest,
    ::testing::Values(
        MacroCase{"%{d}", "x.y.z"}, MacroCase{"%{d2}", "y.z"}, MacroCase{"%{d1r}", "x"},
        MacroCase{"%{dr}", "z.y.x"}, MacroCase{"%{d5}", "x.y.z"}, MacroCase{"%{d3}", "x.y.z"},
        MacroCase{"%{d18446744073709551615}", "x.y.z"}, MacroCase{"%{D}", "x.y.z"},
        MacroCase{"%{d0}", "", true}, MacroCase{"%{d00}", "", true},
        MacroCase{"%{d18446744073709551616}", "", true}, MacroCase{"%{l}", "first-second"},
        MacroCase{"%{l-}", "first.second"}, MacroCase{"%{l1-}", "second"},
        MacroCase{"%{lr-}", "second.first"}, MacroCase{"%{o}", "x.y.z"},
        MacroCase{"%{s}", "first-second@x.y.z"}, MacroCase{"%{h}", "mail.example.org"},
        MacroCase{"%{i}", "192.0.2.3"}, MacroCase{"%{ir}", "3.2.0.192"},
        MacroCase{"%{IR}", "3.2.0.192"}, MacroCase{"%{v}", "in-addr"},
        MacroCase{"%{p}", "mx.example.com"}, MacroCase{"%{p1}", "com"},
        MacroCase{"%{ir}.%{v}._spf.%{d2}", "3.2.0.192.in-addr._spf.y.z"},
        // Several delimiters, and '=' and '_' among them.
        MacroCase{"%{s-.}", "first.second@x.y.z"}, MacroCase{"%{s2r=-}", "second@x.y.z.first"},
        MacroCase{"%{s-@}", "", true}, MacroCase{"%%", "%"}, MacroCase{"%_", " "},
        MacroCase{"%-", "%20"}, MacroCase{"a%%{d}b", "a%{d}b"}, MacroCase{"%%{p}", "%{p}"},
        MacroCase{"plain.example.com", "plain.example.com"}, MacroCase{"", ""},
        MacroCase{"%{c}", "", true}, MacroCase{"%{r}", "", true}, MacroCase{"%{t}", "", true},
        MacroCase{"%{x}", "", true}, MacroCase{"%{}", "", true}, MacroCase{"%{d", "", true},
        MacroCase{"%{d:}", "", true}, MacroCase{"%{d2rr}", "", true}, MacroCase{"%{dr2}", "", true},
        MacroCase{"%", "", true}, MacroCase{"a%", "", true}, MacroCase{"%x", "", true},
        MacroCase{"%{d} %{z}", "", true}));

TEST(MacroValuesTest, SenderWithoutOrWithEmptyParts) {
  MacroValues values = ipv4_values();
  values.sender = "example.org";
  EXPECT_EQ(expand_macro_text(values, "%{l}|%{o}"), "postmaster|example.org");
  values.sender = "";
  EXPECT_EQ(expand_macro_text(values, "%{l}|%{o}|%{s}"), "postmaster||");
  values.sender = "@example.org";
  EXPECT_EQ(expand_macro_text(values, "[%{l}]"), "[]");
  values.sender = "a@b@example.org";
  EXPECT_EQ(expand_macro_text(values, "%{l}|%{o}"), "a@b|example.org");
}

TEST(MacroValuesTest, IPv6ClientUsesDottedNibbles) {
  MacroValues values = ipv4_values();
  values.client_is_ipv6 = true;
  values.client_ip = "2001:db8::cb01";
  auto expanded = expand_macro_text(values, "%{i}");
  ASSERT_TRUE(expanded);
  EXPECT_EQ(*expanded, "2.0.0.1.0.d.b.8.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.c.b.0.1");
  EXPECT_EQ(expanded->size(), 63u);
  EXPECT_EQ(expand_macro_text(values, "%{v}"), "ip6");
  EXPECT_EQ(expand_macro_text(values, "%{i2r}"), "0.2");
  values.client_ip = "not-an-address";
  EXPECT_EQ(expand_macro_text(values, "%{i}"), "not-an-address");
}

TEST(MacroValuesTest, EmptyPartsAreKept) {
  MacroValues values = ipv4_values();
  values.domain = "x.y.";
  EXPECT_EQ(expand_macro_text(values, "%{d1}"), "");
  EXPECT_EQ(expand_macro_text(values, "%{d2}"), "y.");
  EXPECT_EQ(expand_macro_text(values, "%{dr}"), ".y.x");
  values.domain = "";
  EXPECT_EQ(expand_macro_text(values, "[%{d1r}]"), "[]");
  values.domain = "a..b";
  EXPECT_EQ(expand_macro_text(values, "%{d2}"), ".b");
}

TEST(MacroValuesTest, LongResultsAreNotShortened) {
  MacroValues values = ipv4_values();
  const std::string long_sender = std::string(300, 'a') + "@x.y.z";
  values.sender = long_sender;
  auto expanded = expand_macro_text(values, "%{l}.%{d}");
  ASSERT_TRUE(expanded);
  EXPECT_EQ(*expanded, std::string(300, 'a') + ".x.y.z");
}

TEST(MacroPreparationTest, FindsEveryPercentBracePFollowing) {
  EXPECT_TRUE(needs_p_value("%{p}"));
  EXPECT_TRUE(needs_p_value("x.%{P2r}"));
  EXPECT_TRUE(needs_p_value("%%{p}"));
  EXPECT_FALSE(needs_p_value("%{d}.p"));
  EXPECT_FALSE(needs_p_value("%{"));
  EXPECT_FALSE(needs_p_value("{p}%"));
}

TEST(MacroPreparationTest, ChoosesThePValue) {
  const std::vector<std::string> names = {"other.example.net", "mx.Example.com", "EXAMPLE.com"};
  EXPECT_EQ(choose_p_value(names, "example.com"), "EXAMPLE.com");
  EXPECT_EQ(choose_p_value({"other.example.net", "mx.Example.com"}, "example.com"),
            "mx.Example.com");
  EXPECT_EQ(choose_p_value({"other.example.net", "badexample.com"}, "example.com"),
            "other.example.net");
  EXPECT_EQ(choose_p_value({".example.com", "z.example.com"}, "example.com"), "z.example.com");
  EXPECT_EQ(choose_p_value({}, "example.com"), "unknown");
}

}  // namespace
}  // namespace tessvane
