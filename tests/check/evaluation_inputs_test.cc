#include "check/evaluation_inputs.h"

#include <gtest/gtest.h>

#include <string>

namespace tessvane::check {
namespace {

struct InputsCase {
  std::string_view client;
  std::string_view sender;
  std::optional<std::string_view> helo;
  // Expected:
  std::string_view helo_used;
  std::string_view domain;
  std::string_view shown_domain;
  std::string_view request_client;
  bool ipv6;
};

class EvaluationInputsTest : public ::testing::TestWithParam<InputsCase> {};

TEST_P(EvaluationInputsTest, DerivesTheEvaluation) {
  const InputsCase& c = GetParam();
  CheckOptions options;
  options.client_ip = c.client;
  options.sender = c.sender;
  options.helo = c.helo;
  const EvaluationInputs inputs(options);
  EXPECT_EQ(inputs.helo(), c.helo_used);
  EXPECT_EQ(inputs.domain(), c.domain);
  EXPECT_EQ(inputs.shown_domain(), c.shown_domain);
  EXPECT_EQ(inputs.request_client(), c.request_client);
  EXPECT_EQ(inputs.client_is_ipv6(), c.ipv6);
  EXPECT_EQ(inputs.client_text(), c.client);
  EXPECT_EQ(inputs.sender(), c.sender);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EvaluationInputsTest,
    ::testing::Values(
        InputsCase{"192.0.2.1", "user@example.com", std::nullopt, "example.com", "example.com",
                   "example.com", "192.0.2.1", false},
        InputsCase{"192.0.2.1", "user@example.com", "mail.example.org", "mail.example.org",
                   "example.com", "example.com", "192.0.2.1", false},
        // Two at signs: the domain part is after the last one.
        InputsCase{"192.0.2.1", "a@b@example.net", std::nullopt, "example.net", "example.net",
                   "example.net", "192.0.2.1", false},
        // No at sign: the HELO is the whole sender and is what is evaluated.
        InputsCase{"192.0.2.1", "example.org", std::nullopt, "example.org", "example.org",
                   "example.org", "192.0.2.1", false},
        InputsCase{"192.0.2.1", "example.org", "mail.example.net", "mail.example.net",
                   "mail.example.net", "mail.example.net", "192.0.2.1", false},
        InputsCase{"192.0.2.1", "<>", std::nullopt, "<>", "<>", "<>", "192.0.2.1", false},
        InputsCase{"192.0.2.1", "<>", "mail.example.com", "mail.example.com", "mail.example.com",
                   "mail.example.com", "192.0.2.1", false},
        InputsCase{"192.0.2.1", "", "mail.example.com", "mail.example.com", "mail.example.com",
                   "mail.example.com", "192.0.2.1", false},
        // Ending in '@': nothing to evaluate.
        InputsCase{"192.0.2.1", "user@", std::nullopt, "", "", "", "192.0.2.1", false},
        // An explicitly empty HELO suppresses the default.
        InputsCase{"192.0.2.1", "postmaster", "", "", "", "postmaster", "192.0.2.1", false},
        InputsCase{"2001:db8::1", "user@example.com", std::nullopt, "example.com", "example.com",
                   "example.com", "2001:db8::1", true},
        InputsCase{"::ffff:192.0.2.7", "user@example.com", std::nullopt, "example.com",
                   "example.com", "example.com", "192.0.2.7", false},
        InputsCase{"::ffff:c000:201", "user@example.com", std::nullopt, "example.com",
                   "example.com", "example.com", "192.0.2.1", false},
        // Not an address at all: passed on unchanged, family by the colon.
        InputsCase{"not:an:address", "user@example.com", std::nullopt, "example.com", "example.com",
                   "example.com", "not:an:address", true},
        InputsCase{"garbage", "user@example.com", std::nullopt, "example.com", "example.com",
                   "example.com", "garbage", false}));

TEST(ResultBlockTest, FiveLinesWhateverTheirLength) {
  CheckOptions options;
  options.client_ip = "::ffff:192.0.2.7";
  const std::string long_sender = std::string(900, 'x') + "@example.com";
  options.sender = long_sender;
  const EvaluationInputs inputs(options);
  EXPECT_EQ(format_result_block(SpfResult::Softfail, inputs),
            "tessvane-check: softfail\n  domain: example.com\n  client-ip: ::ffff:192.0.2.7\n"
            "  sender: " +
                long_sender + "\n  helo: example.com\n");
}

TEST(ResultBlockTest, ExitStatusFollowsTheResult) {
  EXPECT_EQ(exit_status_for(SpfResult::None), 0);
  EXPECT_EQ(exit_status_for(SpfResult::Neutral), 0);
  EXPECT_EQ(exit_status_for(SpfResult::Pass), 0);
  EXPECT_EQ(exit_status_for(SpfResult::Fail), 1);
  EXPECT_EQ(exit_status_for(SpfResult::Softfail), 1);
  EXPECT_EQ(exit_status_for(SpfResult::Temperror), 1);
  EXPECT_EQ(exit_status_for(SpfResult::Permerror), 1);
}

}  // namespace
}  // namespace tessvane::check
