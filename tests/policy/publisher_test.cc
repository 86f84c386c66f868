// The publisher against real libzmq sockets on loopback. The publisher is per
// thread, so every test publishes from a thread of its own.

#include "policy/publisher.h"

#include "zmq_collector.h"

#include <gtest/gtest.h>
#include <zmq.h>

#include <array>
#include <latch>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessvane {
namespace {

using testing::Collector;

constexpr int kPollMs = 50;
constexpr int kJoinAttempts = 100;  // bounds the wait for a PUB/SUB connection

// Runs fn on a new thread, which starts without a publisher.
template <typename Fn>
void on_own_thread(Fn fn) {
  std::thread thread(fn);
  thread.join();
}

int int_option(void* socket, int option) {
  int value = -1;
  std::size_t size = sizeof value;
  EXPECT_EQ(zmq_getsockopt(socket, option, &value, &size), 0);
  return value;
}

// Publishes the event until the collector has one (the subscription reaches
// the publisher only after the connection is up) and returns the first frame.
std::optional<std::string> publish_until_received(Collector& collector, std::string_view client,
                                                  std::string_view helo, std::string_view sender,
                                                  std::string_view result,
                                                  std::string_view domain) {
  Publisher& publisher = publisher_for_thread();
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    publish_result(publisher, client, helo, sender, result, domain);
    if (std::optional<std::string> frame = collector.receive(kPollMs)) return frame;
  }
  return std::nullopt;
}

TEST(Publisher, CollectorReceivesTopicSpaceAndJson) {
  Collector collector(kDefaultZmqTopic);
  ASSERT_TRUE(collector.bound());
  configure_publishing(collector.endpoint(), std::string(kDefaultZmqTopic));
  std::optional<std::string> frame;
  on_own_thread([&] {
    frame = publish_until_received(collector, "192.0.2.1", "mx.example.org", "user@example.org",
                                   "pass", "example.org");
  });
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(*frame, R"(spf.result {"client_ip":"192.0.2.1","helo":"mx.example.org",)"
                    R"("mail_from":"user@example.org","result":"pass","domain":"example.org"})");
}

TEST(Publisher, TopicIsConfiguredAndValuesAreEscaped) {
  Collector collector("");
  ASSERT_TRUE(collector.bound());
  configure_publishing(collector.endpoint(), "mail.spf");
  std::optional<std::string> frame;
  on_own_thread([&] {
    frame = publish_until_received(collector, "2001:db8::1", "bad\"helo\tname\x01",
                                   "caf\xC3\xA9@\xFF.example", "softfail", "example.org");
  });
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(*frame, R"(mail.spf {"client_ip":"2001:db8::1","helo":"bad\"helo\tname\u0001",)"
                    "\"mail_from\":\"caf\xC3\xA9@\\ufffd.example\","
                    R"("result":"softfail","domain":"example.org"})");
}

TEST(Publisher, SocketOptionsAreSetBeforeConnecting) {
  Collector collector(kDefaultZmqTopic);
  ASSERT_TRUE(collector.bound());
  const std::string port = collector.endpoint().substr(collector.endpoint().rfind(':'));
  const struct {
    std::string endpoint;
    int ipv6;
  } cases[] = {
      {collector.endpoint(), 0},
      {"tcp://[::1]" + port, 1},
  };
  for (const auto& c : cases) {
    configure_publishing(c.endpoint, std::string(kDefaultZmqTopic));
    on_own_thread([&] {
      Publisher& publisher = publisher_for_thread();
      ASSERT_NE(publisher.socket, nullptr) << c.endpoint;
      EXPECT_EQ(int_option(publisher.socket.get(), ZMQ_IPV6), c.ipv6) << c.endpoint;
      EXPECT_EQ(int_option(publisher.socket.get(), ZMQ_LINGER), 0);
      EXPECT_EQ(int_option(publisher.socket.get(), ZMQ_SNDHWM), 1000);
    });
  }
}

TEST(Publisher, WithoutEndpointNothingIsCreated) {
  configure_publishing(std::nullopt, std::string(kDefaultZmqTopic));
  on_own_thread([] {
    Publisher& publisher = publisher_for_thread();
    EXPECT_TRUE(publisher.initialised);
    EXPECT_EQ(publisher.context, nullptr);
    EXPECT_EQ(publisher.socket, nullptr);
    publish_result(publisher, "192.0.2.1", "mx", "a@example.org", "pass", "example.org");
    EXPECT_EQ(&publisher_for_thread(), &publisher);
  });
}

TEST(Publisher, EndpointLimitIs511Bytes) {
  // inproc connects succeed without a peer, so only the length decides.
  const std::string prefix = "inproc://";
  const struct {
    std::size_t length;
    bool connected;
  } cases[] = {{511, true}, {512, false}, {4096, false}};
  for (const auto& c : cases) {
    configure_publishing(prefix + std::string(c.length - prefix.size(), 'x'),
                         std::string(kDefaultZmqTopic));
    on_own_thread([&] {
      Publisher& publisher = publisher_for_thread();
      EXPECT_TRUE(publisher.initialised);
      EXPECT_EQ(publisher.socket != nullptr, c.connected) << c.length;
      EXPECT_EQ(publisher.context != nullptr, c.connected) << c.length;
    });
  }
}

TEST(Publisher, FailedSetUpLeavesNoSocketAndIsNotRetried) {
  const std::string_view endpoints[] = {"nonsense", "tcp://127.0.0.1",
                                        std::string_view("inproc://a\0b", 12)};
  for (const std::string_view endpoint : endpoints) {
    configure_publishing(std::string(endpoint), std::string(kDefaultZmqTopic));
    on_own_thread([] {
      Publisher& publisher = publisher_for_thread();
      EXPECT_TRUE(publisher.initialised);
      EXPECT_EQ(publisher.socket, nullptr);
      EXPECT_EQ(publisher.context, nullptr);
    });
  }
  // A thread that already set up keeps its outcome although the endpoint changed.
  Collector collector(kDefaultZmqTopic);
  ASSERT_TRUE(collector.bound());
  on_own_thread([&] {
    configure_publishing("nonsense", std::string(kDefaultZmqTopic));
    EXPECT_EQ(publisher_for_thread().socket, nullptr);
    configure_publishing(collector.endpoint(), std::string(kDefaultZmqTopic));
    EXPECT_EQ(publisher_for_thread().socket, nullptr);
  });
}

TEST(Publisher, AbsentCollectorDropsEventsWithoutBlocking) {
  std::string endpoint;
  {
    const Collector probe(kDefaultZmqTopic);  // finds a free loopback port
    ASSERT_TRUE(probe.bound());
    endpoint = probe.endpoint();
  }
  configure_publishing(endpoint, std::string(kDefaultZmqTopic));
  std::vector<std::string> frames;
  on_own_thread([&] {
    Publisher& publisher = publisher_for_thread();
    ASSERT_NE(publisher.socket, nullptr);
    // Nobody listens: every send returns at once, well past the high-water mark.
    for (int i = 0; i < 3 * kPublisherSendHighWaterMark; ++i) {
      publish_result(publisher, "192.0.2.1", "early", "a@example.org", "pass", "example.org");
    }
    Collector collector(kDefaultZmqTopic, endpoint);
    ASSERT_TRUE(collector.bound());
    const std::optional<std::string> first = publish_until_received(
        collector, "192.0.2.1", "late", "a@example.org", "pass", "example.org");
    ASSERT_TRUE(first.has_value());
    frames.push_back(*first);
    while (std::optional<std::string> frame = collector.receive(kPollMs)) frames.push_back(*frame);
  });
  ASSERT_FALSE(frames.empty());
  for (const std::string& frame : frames) {
    EXPECT_NE(frame.find(R"("helo":"late")"), std::string::npos) << frame;
  }
}

TEST(Publisher, EveryThreadHasItsOwnSocket) {
  Collector collector(kDefaultZmqTopic);
  ASSERT_TRUE(collector.bound());
  configure_publishing(collector.endpoint(), std::string(kDefaultZmqTopic));
  constexpr std::size_t kThreads = 3;
  std::array<void*, kThreads> sockets{};
  // Every thread keeps its publisher until all have looked, so that no
  // socket is freed and its address reused before the comparison.
  std::latch all_looked(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Publisher& publisher = publisher_for_thread();
      sockets[i] = publisher.socket.get();
      EXPECT_EQ(&publisher_for_thread(), &publisher);
      all_looked.arrive_and_wait();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_NE(sockets[0], nullptr);
  EXPECT_NE(sockets[0], sockets[1]);
  EXPECT_NE(sockets[1], sockets[2]);
  EXPECT_NE(sockets[0], sockets[2]);
}

}  // namespace
}  // namespace tessvane
