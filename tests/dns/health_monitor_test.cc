#include "dns/health_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "dns/resolver.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::DnsResponder;
using testing::LogCapture;

constexpr const char* kFirst = "127.0.0.1";
constexpr const char* kSecond = "127.0.0.2";
constexpr std::uint8_t kTypeA = 1;
constexpr std::uint16_t kTypeNs = 2;
constexpr std::uint32_t kProbeTimeoutMs = 60;
constexpr auto kWaitLimit = std::chrono::seconds(10);
constexpr const char* kSilentProbes = R"({"type": "NS", "silent": true, "always": true})";

// Polls until the condition holds or the limit passes; the condition's last value.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class HealthMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(responder_.running());
    ASSERT_TRUE(responder_.set_zone(R"({"a.test": {"A": ["192.0.2.1"]}})"));
  }

  HealthMonitorOptions options(std::uint32_t interval_s = 0) const {
    HealthMonitorOptions o;
    o.interval_s = interval_s;
    o.probe_timeout_ms = kProbeTimeoutMs;
    o.port = responder_.port();
    return o;
  }

  std::unique_ptr<HealthMonitor> make(std::vector<std::string> servers) {
    auto monitor = make_health_monitor(servers, options());
    EXPECT_TRUE(monitor) << error_name(monitor.error());
    return monitor ? std::move(*monitor) : nullptr;
  }

  DnsResponder responder_{{kFirst, kSecond}};
};

TEST_F(HealthMonitorTest, ProbeIsARecursiveRootNsQuestionWithoutOpt) {
  auto monitor = make({kFirst, kSecond});
  ASSERT_TRUE(monitor);
  monitor->run_probe_cycle();
  const auto queries = responder_.take_queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].server, kFirst);  // configuration order
  EXPECT_EQ(queries[1].server, kSecond);
  for (const auto& q : queries) {
    EXPECT_EQ(q.transport, "udp");
    EXPECT_EQ(q.id, 1);
    EXPECT_EQ(q.type, kTypeNs);
    EXPECT_EQ(q.edns_size, -1);
    EXPECT_TRUE(q.name.empty() || q.name == ".") << q.name;
  }
  EXPECT_TRUE(monitor->marks().is_up(0));
  EXPECT_TRUE(monitor->marks().is_up(1));
  EXPECT_FALSE(monitor->marks().is_up(2));
}

struct ReplyCase {
  const char* name;
  const char* action;  // how the responder answers the probe; empty: from the zone
  bool success;
};

class ProbeReplyTest : public HealthMonitorTest, public ::testing::WithParamInterface<ReplyCase> {};

// Only the length of what comes back counts: a failure leaves the server up
// the first time and marks it down the second time in a row.
TEST_P(ProbeReplyTest, OnlyTheReplyLengthDecides) {
  const ReplyCase& c = GetParam();
  if (*c.action != '\0') {
    ASSERT_TRUE(responder_.add_action(c.action));
  }
  auto monitor = make({kFirst});
  ASSERT_TRUE(monitor);
  monitor->run_probe_cycle();
  EXPECT_EQ(monitor->failures(0), c.success ? 0 : 1);
  EXPECT_TRUE(monitor->marks().is_up(0));
  monitor->run_probe_cycle();
  EXPECT_EQ(monitor->failures(0), c.success ? 0 : 2);
  EXPECT_EQ(monitor->marks().is_up(0), c.success);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ProbeReplyTest,
    ::testing::Values(
        ReplyCase{"ZoneAnswer", "", true},
        ReplyCase{"Refused", R"({"type": "NS", "rcode": 5, "always": true})", true},
        ReplyCase{"WrongId", R"({"type": "NS", "wrong_id": true, "always": true})", true},
        ReplyCase{"TwelveZeroBytes",
                  R"({"type": "NS", "raw_hex": "000000000000000000000000", "raw_id": true,
                      "always": true})",
                  true},
        ReplyCase{"ElevenBytes", R"({"type": "NS", "cut": 11, "always": true})", false},
        ReplyCase{"Silent", kSilentProbes, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(HealthMonitorTest, CounterSaturatesAndOneSuccessBringsTheServerBack) {
  ASSERT_TRUE(responder_.add_action(R"({"type": "NS", "cut": 4, "always": true})"));
  auto monitor = make({kFirst, kSecond});
  ASSERT_TRUE(monitor);
  for (int i = 0; i < 300; ++i) monitor->run_probe_cycle();
  EXPECT_EQ(monitor->failures(0), 255);
  EXPECT_FALSE(monitor->marks().is_up(0));
  EXPECT_FALSE(monitor->marks().is_up(1));

  ASSERT_TRUE(responder_.command(R"({"cmd": "clear_actions"})"));
  ASSERT_TRUE(responder_.add_action(R"({"server": "127.0.0.2", "type": "NS", "silent": true})"));
  monitor->run_probe_cycle();
  EXPECT_EQ(monitor->failures(0), 0);
  EXPECT_TRUE(monitor->marks().is_up(0));
  EXPECT_EQ(monitor->failures(1), 255);
  EXPECT_FALSE(monitor->marks().is_up(1));
}

TEST_F(HealthMonitorTest, ThreadMarksADeadServerDownAndQueriesFailAtOnceUntilItAnswers) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(kSilentProbes));
  const std::vector<std::string> servers{kFirst};
  auto monitor = start_health_monitor(servers, options());
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(monitor->started());

  ResolverConfig config;
  config.nameservers = servers;
  config.port = responder_.port();
  config.timeout_ms = 150;
  config.retries = 0;
  config.health = &monitor->marks();
  auto resolver = Resolver::build(config);
  ASSERT_TRUE(resolver);

  ASSERT_TRUE(eventually([&] { return !monitor->marks().is_up(0); }));
  (void)responder_.take_queries();
  const auto refused = resolver->query("a.test", kTypeA);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), ErrorCode::DnsNoHealthyServers);
  EXPECT_TRUE(log.contains("dns: a.test not queried, all nameservers marked down (monitor)"));
  for (const auto& q : responder_.take_queries()) EXPECT_EQ(q.type, kTypeNs);  // no A query

  ASSERT_TRUE(responder_.command(R"({"cmd": "clear_actions"})"));
  ASSERT_TRUE(eventually([&] { return monitor->marks().is_up(0); }));
  const auto answer = resolver->query("a.test", kTypeA);
  ASSERT_TRUE(answer) << error_name(answer.error());
  EXPECT_EQ(answer->records.size(), 1u);
  stop_health_monitor(std::move(monitor));
}

struct InitCase {
  const char* name;
  std::vector<std::string> servers;
  const char* error;
};

class MonitorInitTest : public ::testing::TestWithParam<InitCase> {};

TEST_P(MonitorInitTest, BadServerListsGiveNoMonitorAndTheWarning) {
  LogCapture log;
  EXPECT_EQ(start_health_monitor(GetParam().servers), nullptr);
  const auto texts = log.take_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], cat("DNS health monitor init failed: error.", GetParam().error,
                          ", falling back to reactive"));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, MonitorInitTest,
    ::testing::Values(InitCase{"None", {}, "InvalidServerCount"},
                      InitCase{"Nine",
                               {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",
                                "127.0.0.6", "127.0.0.7", "127.0.0.8", "127.0.0.9"},
                               "InvalidServerCount"},
                      InitCase{"NotAnAddress", {"127.0.0.1", "ns.example"}, "InvalidNameserver"},
                      InitCase{"WithPort", {"127.0.0.1:53"}, "InvalidNameserver"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(HealthMonitorRecord, EightServersAreAcceptedIncludingIpv6) {
  const std::vector<std::string> servers{"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4",
                                         "127.0.0.5", "127.0.0.6", "127.0.0.7", "::1"};
  auto monitor = make_health_monitor(servers);
  ASSERT_TRUE(monitor);
  EXPECT_EQ((*monitor)->server_count(), 8u);
  EXPECT_EQ((*monitor)->marks().server_count(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_TRUE((*monitor)->marks().is_up(i));
  EXPECT_FALSE((*monitor)->started());
}

// Every server silent: stopping waits for the cycle in progress and ends.
TEST_F(HealthMonitorTest, ShutdownWhileEveryServerIsSilentCompletes) {
  ASSERT_TRUE(responder_.add_action(kSilentProbes));
  const std::vector<std::string> servers{kFirst, kSecond};
  auto monitor = start_health_monitor(servers, options(1));
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(monitor->started());
  ASSERT_TRUE(eventually([&] { return !responder_.take_queries().empty(); }));
  stop_health_monitor(std::move(monitor));
  // The thread has ended: no probe arrives any more.
  (void)responder_.take_queries();
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * kProbeTimeoutMs));
  EXPECT_TRUE(responder_.take_queries().empty());
}

}  // namespace
}  // namespace tessvane
