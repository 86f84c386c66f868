// What the end-of-message handler publishes, read by a real ZeroMQ SUB
// socket. The publisher is per thread, so the messages are handled on a
// thread of their own, which first publishes until the collector hears it
// (the subscription reaches the publisher only once the connection is up).

#include <gtest/gtest.h>
#include <zmq.h>

#include <array>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/list_holder.h"
#include "config/settings.h"
#include "policy/evaluate_message.h"
#include "policy/publisher.h"
#include "support/dns_responder.h"
#include "support/temp_dir.h"
#include "zmq_collector.h"

namespace tessvane {
namespace {

using testing::Collector;

constexpr int kPollMs = 50;
constexpr int kJoinAttempts = 100;  // bounds the wait for the PUB/SUB connection

// Publishes a marker from this thread until the collector has it, then
// drains what else arrived, so that the next frame is the handler's.
bool join(Collector& collector) {
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    publish_result(publisher_for_thread(), "", "", "", "none", "join.invalid");
    if (collector.receive(kPollMs)) {
      while (collector.receive(kPollMs)) {
      }
      return true;
    }
  }
  return false;
}

void publish_list(ListHolder& holder, const std::string& path) {
  Result<AddressList> list = load_address_list(path);
  ASSERT_TRUE(list.has_value());
  Result<ListHolder::Box> box = holder.box(std::move(*list));
  ASSERT_TRUE(box.has_value());
  ASSERT_TRUE(holder.publish(std::move(*box)).has_value());
}

class EvaluateMessagePublish : public ::testing::Test {
 protected:
  void TearDown() override {
    whitelist_holder().release_all();
    trusted_relays_holder().release_all();
    configure_publishing(std::nullopt, std::string(kDefaultZmqTopic));
    settings() = saved;
  }

  const Settings saved = settings();
  testing::DnsResponder dns;
  testing::TempDir dir;
  Collector collector;
};

TEST_F(EvaluateMessagePublish, EventsOfEachCaseButRelaysAndWhitelistedClients) {
  ASSERT_FALSE(collector.endpoint().empty());
  ASSERT_TRUE(dns.running());
  ASSERT_TRUE(dns.set_zone(R"({"example.org": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]}})"));
  settings().nameservers = {"127.0.0.1"};
  settings().dns_port = dns.port();
  settings().dns_retries = 0;
  publish_list(trusted_relays_holder(), dir.write("relays", "203.0.113.5\n"));
  publish_list(whitelist_holder(), dir.write("whitelist", "203.0.113.5\n198.51.100.9\n"));
  configure_publishing(collector.endpoint(), "spf.result");

  std::vector<std::optional<std::string>> frames;
  bool joined = false;
  std::thread worker([&] {
    joined = join(collector);
    if (!joined) return;
    MilterConnection connection{UniqueFd(), {}};
    connection.actions = kSmfifAddHdrs;
    connection.helo = "mx.example.net";
    connection.sender = "<user@example.org>";
    const struct {
      char family;
      std::string client;
    } messages[] = {
        {'6', "203.0.113.5"},        // trusted relay: not published
        {'6', "198.51.100.9"},       // whitelisted: not published
        {'L', ""},                   // local submission
        {'6', "::ffff:192.0.2.10"},  // evaluated as IPv4, published as received
        {'4', "not-an-ip"},          // malformed
    };
    for (const auto& m : messages) {
      connection.output = {};
      connection.connect_family = m.family;
      connection.macros[static_cast<std::size_t>(MacroSlot::ClientAddr)] = m.client;
      EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept) << m.client;
    }
    for (int i = 0; i < 4; ++i) frames.push_back(collector.receive(kPollMs * 20));
  });
  worker.join();
  ASSERT_TRUE(joined);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0], R"(spf.result {"client_ip":"","helo":"mx.example.net",)"
                       R"("mail_from":"user@example.org","result":"none","domain":"example.org"})");
  EXPECT_EQ(frames[1], R"(spf.result {"client_ip":"::ffff:192.0.2.10","helo":"mx.example.net",)"
                       R"("mail_from":"user@example.org","result":"pass","domain":"example.org"})");
  EXPECT_EQ(frames[2], R"(spf.result {"client_ip":"not-an-ip","helo":"mx.example.net",)"
                       R"("mail_from":"user@example.org","result":"permerror",)"
                       R"("domain":"example.org"})");
  EXPECT_EQ(frames[3], std::nullopt) << "nothing else was published";
}

}  // namespace
}  // namespace tessvane
