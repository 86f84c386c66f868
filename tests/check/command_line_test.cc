#include "check/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessvane::check {
namespace {

struct PortCase {
  std::string_view text;
  int expected;  // -1: rejected
};

class PortArgumentTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortArgumentTest, ReadsOrRejects) {
  const PortCase& c = GetParam();
  auto port = parse_port_argument(c.text);
  if (c.expected < 0) {
    ASSERT_FALSE(port) << "'" << c.text << "' gave " << *port;
    EXPECT_EQ(port.error(), ErrorCode::InvalidPort);
  } else {
    ASSERT_TRUE(port) << "'" << c.text << "'";
    EXPECT_EQ(*port, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, PortArgumentTest,
    ::testing::Values(PortCase{"53", 53}, PortCase{"+53", 53}, PortCase{"5_3", 53},
                      PortCase{"5__3", 53}, PortCase{"0", 0}, PortCase{"65535", 65535},
                      PortCase{"0053", 53}, PortCase{"+6_5_5_3_5", 65535}, PortCase{"-0", 0},
                      PortCase{"-00", 0}, PortCase{"-_", 0}, PortCase{"-0_", 0}, PortCase{"-_0", 0},
                      PortCase{"", -1}, PortCase{"65536", -1},
                      PortCase{"99999999999999999999999", -1}, PortCase{"_53", -1},
                      PortCase{"53_", -1}, PortCase{"+_53", -1}, PortCase{"+", -1},
                      PortCase{"-", -1}, PortCase{"-1", -1}, PortCase{"-01", -1},
                      PortCase{"--0", -1}, PortCase{"+-0", -1}, PortCase{"5 3", -1},
                      PortCase{" 53", -1}, PortCase{"0x35", -1}, PortCase{"53a", -1}));

std::expected<CheckOptions, UsageError> parse(std::vector<std::string_view> args) {
  return parse_command_line(args);
}

struct UsageCase {
  std::vector<std::string_view> args;
  std::string_view message;
};

class UsageErrorTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrorTest, FirstProblemIsReported) {
  auto parsed = parse(GetParam().args);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, UsageErrorTest,
    ::testing::Values(UsageCase{{}, "-i <ip> is required"},
                      UsageCase{{"-s", "a@example.com"}, "-i <ip> is required"},
                      UsageCase{{"-i", "192.0.2.1"}, "-s <sender> is required"},
                      UsageCase{{"-i"}, "missing argument for -i"},
                      UsageCase{{"-i", "192.0.2.1", "-s"}, "missing argument for -s"},
                      UsageCase{{"-i", "192.0.2.1", "-s", "x", "-e"}, "missing argument for -e"},
                      UsageCase{{"-n"}, "missing argument for -n"},
                      UsageCase{{"-p"}, "missing argument for -p"},
                      UsageCase{{"-p", ""}, "-p must be a port number"},
                      UsageCase{{"-p", "65536", "-x"}, "-p must be a port number"},
                      UsageCase{{"-p", "-1"}, "-p must be a port number"},
                      UsageCase{{"-x", "-h"}, "unknown option (use -h for help)"},
                      UsageCase{{"-is", "x"}, "unknown option (use -h for help)"},
                      UsageCase{{"-i=192.0.2.1"}, "unknown option (use -h for help)"},
                      UsageCase{{"192.0.2.1"}, "unknown option (use -h for help)"},
                      UsageCase{{"-i", "192.0.2.1", "-s", "x", "extra"},
                                "unknown option (use -h for help)"},
                      UsageCase{{"--i", "x"}, "unknown option (use -h for help)"},
                      UsageCase{{""}, "unknown option (use -h for help)"}));

TEST(CommandLineTest, ValuesAreTakenVerbatimEvenWhenTheyLookLikeOptions) {
  auto parsed = parse({"-s", "-i", "-i", " 192.0.2.1 ", "-e", "", "-n", "-h"});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->sender, "-i");
  EXPECT_EQ(parsed->client_ip, " 192.0.2.1 ");
  EXPECT_EQ(parsed->helo, "");
  EXPECT_EQ(parsed->nameserver, "-h");
  EXPECT_FALSE(parsed->help);
}

TEST(CommandLineTest, DefaultsAndLastValueWins) {
  auto parsed = parse({"-i", "192.0.2.1", "-s", "a@example.com", "-i", "2001:db8::1"});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->client_ip, "2001:db8::1");
  EXPECT_FALSE(parsed->helo.has_value());
  EXPECT_EQ(parsed->nameserver, "127.0.0.1");
  EXPECT_EQ(parsed->port, 53);
  auto ported = parse({"-p", "5_3_0_0", "-i", "", "-s", "", "-p", "-0"});
  ASSERT_TRUE(ported);
  EXPECT_EQ(ported->port, 0);
  EXPECT_EQ(ported->client_ip, "");
  EXPECT_EQ(ported->sender, "");
}

TEST(CommandLineTest, HelpStopsTheScanAndSkipsTheRequiredChecks) {
  for (std::vector<std::string_view> args : {std::vector<std::string_view>{"-h"},
                                             {"--help", "-x"},
                                             {"-i", "192.0.2.1", "-h", "-p"},
                                             {"-p", "99", "--help"}}) {
    auto parsed = parse(args);
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_TRUE(parsed->help);
  }
}

TEST(CommandLineTest, UsageTextLinesArePaddedToSeventeenColumns) {
  std::vector<std::string> lines;
  std::string_view rest = kUsageText;
  ASSERT_EQ(rest.back(), '\n');
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "Usage: tessvane-check [options]");
  EXPECT_EQ(lines[2], "Perform an SPF evaluation and display the result.");
  EXPECT_EQ(lines[5], "  -i <ip>          Client IP address (required)");
  EXPECT_EQ(lines[10], "  -h               Show this help");
  for (std::size_t i = 5; i <= 10; ++i) {
    EXPECT_EQ(lines[i].substr(0, 3), "  -") << lines[i];
    EXPECT_EQ(lines[i][18], ' ') << lines[i];
    EXPECT_NE(lines[i][19], ' ') << lines[i];
  }
  EXPECT_TRUE(lines[6].starts_with("  -s <sender>      MAIL FROM address, e.g. "));
  EXPECT_TRUE(lines[6].ends_with(" (required)"));
  EXPECT_EQ(lines[12], "Examples:");
  for (std::size_t i = 13; i < 16; ++i) EXPECT_TRUE(lines[i].starts_with("  tessvane-check -i "));
}

}  // namespace
}  // namespace tessvane::check
