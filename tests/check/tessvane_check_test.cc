// The tessvane-check program as a user runs it: arguments in, the block or a
// message out, and the exit status.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/command_line.h"
#include "check/program_fixture.h"
#include "support/dns_responder.h"

namespace tessvane::testing {
namespace {

std::string block(std::string_view result, std::string_view domain, std::string_view client,
                  std::string_view sender, std::string_view helo) {
  return "tessvane-check: " + std::string(result) + "\n  domain: " + std::string(domain) +
         "\n  client-ip: " + std::string(client) + "\n  sender: " + std::string(sender) +
         "\n  helo: " + std::string(helo) + "\n";
}

std::string usage_error(std::string_view message) {
  return "tessvane-check: " + std::string(message) + "\n";
}

// Runs that need no DNS answer: usage, help, resolver set-up, and senders
// that leave nothing to evaluate.
struct OfflineCase {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

void PrintTo(const OfflineCase& c, std::ostream* os) {
  *os << c.name;
}

class OfflineRunTest : public ::testing::TestWithParam<OfflineCase> {};

TEST_P(OfflineRunTest, ExitsWithItsStatusAndText) {
  const OfflineCase& c = GetParam();
  const ProgramRun run = run_check_program(c.args);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
}

const std::string kUsage(check::kUsageText);
const std::string kLongLocal(700, 'q');

INSTANTIATE_TEST_SUITE_P(
    Table, OfflineRunTest,
    ::testing::Values(
        OfflineCase{"help", {"-h"}, 0, kUsage, ""},
        OfflineCase{"long_help", {"--help"}, 0, kUsage, ""},
        OfflineCase{"help_after_option", {"-i", "192.0.2.1", "-h", "-bogus"}, 0, kUsage, ""},
        OfflineCase{"unknown_before_help",
                    {"-x", "-h"},
                    2,
                    "",
                    usage_error("unknown option (use -h for help)")},
        OfflineCase{"positional",
                    {"-i", "192.0.2.1", "-s", "a@example.com", "more"},
                    2,
                    "",
                    usage_error("unknown option (use -h for help)")},
        OfflineCase{"nothing", {}, 2, "", usage_error("-i <ip> is required")},
        OfflineCase{
            "no_sender", {"-i", "192.0.2.1"}, 2, "", usage_error("-s <sender> is required")},
        OfflineCase{"sender_last",
                    {"-i", "192.0.2.1", "-s"},
                    2,
                    "",
                    usage_error("missing argument for -s")},
        OfflineCase{"port_last", {"-p"}, 2, "", usage_error("missing argument for -p")},
        OfflineCase{
            "port_too_big", {"-p", "65536"}, 2, "", usage_error("-p must be a port number")},
        OfflineCase{"port_negative",
                    {"-i", "192.0.2.1", "-s", "a@", "-p", "-1"},
                    2,
                    "",
                    usage_error("-p must be a port number")},
        OfflineCase{"port_empty", {"-p", ""}, 2, "", usage_error("-p must be a port number")},
        OfflineCase{"bad_nameserver",
                    {"-i", "192.0.2.1", "-s", "a@example.com", "-n", "ns1"},
                    3,
                    "",
                    usage_error("DNS resolver: invalid nameserver address")},
        // The nameserver is checked before it is known that nothing is asked.
        OfflineCase{"bad_nameserver_nothing_to_do",
                    {"-i", "192.0.2.1", "-s", "a@", "-n", ""},
                    3,
                    "",
                    usage_error("DNS resolver: invalid nameserver address")},
        OfflineCase{"empty_domain",
                    {"-i", "192.0.2.1", "-s", "user@", "-p", "+5_3"},
                    0,
                    block("none", "", "192.0.2.1", "user@", ""),
                    ""},
        OfflineCase{"empty_helo_shows_sender_domain",
                    {"-i", "2001:db8::1", "-s", "postmaster", "-e", "", "-n", "::1", "-p", "-0"},
                    0,
                    block("none", "postmaster", "2001:db8::1", "postmaster", ""),
                    ""},
        // A block longer than any fixed buffer is still written whole.
        OfflineCase{"long_sender",
                    {"-i", "192.0.2.1", "-s", kLongLocal + "@"},
                    0,
                    block("none", "", "192.0.2.1", kLongLocal + "@", ""),
                    ""}));

// Runs against the loopback responder.
class CheckProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dns_.running());
    ASSERT_TRUE(dns_.set_zone(R"({
      "example.com": {"TXT": ["v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 ~all"]},
      "neutral.example.com": {"TXT": ["v=spf1 ?all"]},
      "broken.example.com": {"TXT": ["v=spf1 ip4:192.0.2.0/24 bogus -all"]},
      "failing.example.com": {"rcode": 2},
      "mail.example.org": {"TXT": ["v=spf1 -all"]}
    })"));
  }

  ProgramRun check(std::vector<std::string> args) {
    args.insert(args.end(), {"-n", "127.0.0.1", "-p", std::to_string(dns_.port())});
    return run_check_program(args);
  }

  DnsResponder dns_;
};

TEST_F(CheckProgramTest, ResultsAndTheirExitStatus) {
  struct Case {
    std::string client, sender, result;
    int status;
  };
  for (const Case& c : std::vector<Case>{{"192.0.2.20", "a@example.com", "pass", 0},
                                         {"198.51.100.1", "a@example.com", "softfail", 1},
                                         {"2001:db8::5", "a@example.com", "pass", 0},
                                         {"198.51.100.1", "a@neutral.example.com", "neutral", 0},
                                         {"192.0.2.20", "a@broken.example.com", "permerror", 1},
                                         {"192.0.2.20", "a@failing.example.com", "temperror", 1},
                                         {"192.0.2.20", "a@missing.example.com", "none", 0}}) {
    const ProgramRun run = check({"-i", c.client, "-s", c.sender});
    const std::string domain = c.sender.substr(c.sender.find('@') + 1);
    EXPECT_EQ(run.out, block(c.result, domain, c.client, c.sender, domain)) << c.sender;
    EXPECT_EQ(run.status, c.status) << c.sender;
    EXPECT_EQ(run.err, "") << c.sender;
  }
}

TEST_F(CheckProgramTest, MappedClientIsEvaluatedAsIpv4ButShownAsTyped) {
  const ProgramRun run = check({"-i", "::ffff:192.0.2.9", "-s", "a@example.com"});
  EXPECT_EQ(run.out,
            block("pass", "example.com", "::ffff:192.0.2.9", "a@example.com", "example.com"));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CheckProgramTest, HeloIsEvaluatedOnlyWithoutARealSender) {
  ProgramRun run = check({"-i", "192.0.2.9", "-s", "<>", "-e", "mail.example.org"});
  EXPECT_EQ(run.out, block("fail", "mail.example.org", "192.0.2.9", "<>", "mail.example.org"));
  EXPECT_EQ(run.status, 1);
  run = check({"-i", "192.0.2.9", "-s", "a@example.com", "-e", "mail.example.org"});
  EXPECT_EQ(run.out,
            block("pass", "example.com", "192.0.2.9", "a@example.com", "mail.example.org"));
  // "-s -i": the text -i is the sender, and without an at sign the HELO.
  run = check({"-s", "-i", "-i", "192.0.2.9"});
  EXPECT_EQ(run.out, block("none", "-i", "192.0.2.9", "-i", "-i"));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CheckProgramTest, SenderDomainIsAfterTheLastAt) {
  dns_.take_queries();
  const ProgramRun run = check({"-i", "192.0.2.9", "-s", "x@y@example.com"});
  EXPECT_EQ(run.out, block("pass", "example.com", "192.0.2.9", "x@y@example.com", "example.com"));
  const auto queries = dns_.take_queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].name, "example.com");
  EXPECT_EQ(queries[0].type, 16);
}

TEST_F(CheckProgramTest, NothingToEvaluateAsksNothing) {
  dns_.take_queries();
  const ProgramRun run = check({"-i", "192.0.2.9", "-s", "a@"});
  EXPECT_EQ(run.out, block("none", "", "192.0.2.9", "a@", ""));
  EXPECT_TRUE(dns_.take_queries().empty());
}

TEST_F(CheckProgramTest, LongSenderGetsItsWholeBlockAndResult) {
  const std::string sender = std::string(600, 'x') + "@example.com";
  const std::string helo = std::string(300, 'h') + ".example.org";
  const ProgramRun run = check({"-i", "198.51.100.1", "-s", sender, "-e", helo});
  EXPECT_EQ(run.out, block("softfail", "example.com", "198.51.100.1", sender, helo));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace tessvane::testing
