// Evaluations in flight on one worker: an end-of-message handler that looks
// the sender up in DNS through a resolver on the worker's own loop, against
// a loopback responder that answers some names and ignores others. Shows
// that the worker serves its other connections while an evaluation waits,
// and that closing, aborting, quitting, reloading and draining during an
// evaluation end it cleanly (AddressSanitizer and ThreadSanitizer watch the
// lifetimes).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dns/resolver.h"
#include "milter/worker.h"
#include "milter_peer.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"
#include "worker_client.h"

namespace tessvane {
namespace {

using testing::Client;
using testing::eventually;
using testing::milter_packet;
using testing::nul;
using testing::optneg;
using testing::u32_text;

constexpr std::size_t kIndex = 0;

// A sender and what its lookup gives.
struct Case {
  std::string_view sender;
  std::string_view lookup;
};

constexpr std::string_view kZone = R"({
  "fast.test": {"TXT": ["fast answer"]},
  "other.test": {"TXT": ["other answer"]},
  "silent.test": {"timeout": true},
  "late.test": {"timeout": true}
})";

// The policy of these tests: queues a header naming the sender before it
// waits (as the real policy queues its deletions), looks the sender up, then
// queues a header with the first TXT text or the error, and accepts.
class LookupPolicy {
 public:
  explicit LookupPolicy(ResolverConfig config) : config_(std::move(config)) {}

  Task<MilterResponse> answer(MilterConnection& connection, sys::IoLoop& loop) {
    ++started;
    if (!resolver_) {
      config_.loop = &loop;
      Result<Resolver> built = Resolver::build(config_);
      EXPECT_TRUE(built.has_value());
      if (!built) co_return MilterResponse::TempFail;
      resolver_ = std::make_shared<Resolver>(std::move(*built));
    }
    // The lookup keeps its resolver, whatever a reload does meanwhile.
    const std::shared_ptr<Resolver> resolver = resolver_;
    const std::string name = connection.sender;
    (void)queue_reply(connection, as_bytes(header("X-Before", name)));
    const Result<Answer> answer = co_await resolver->lookup(name, kTypeTxt);
    std::string value;
    if (!answer) {
      value = std::string(error_name(answer.error()));
    } else {
      value = answer->records.empty() ? "no records" : (*answer->records.begin()).data;
    }
    (void)queue_reply(connection, as_bytes(header("X-Lookup", value)));
    ++finished;
    co_return MilterResponse::Accept;
  }

  // The reload hook: the next evaluation builds a fresh resolver.
  void drop_resolver() { resolver_.reset(); }

  static std::string header(std::string_view name, std::string_view value) {
    return "i" + u32_text(1) + nul(name) + nul(value);
  }

  std::atomic<int> started{0};
  std::atomic<int> finished{0};

 private:
  ResolverConfig config_;
  std::shared_ptr<Resolver> resolver_;  // touched only on the worker's thread
};

class WorkerEvaluationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dns_.running() && dns_.set_zone(kZone)); }

  ~WorkerEvaluationTest() override {
    shutdown_write_.reset();
    if (thread_.joinable()) thread_.join();
    if (record_) record_->release();
  }

  ResolverConfig resolver_config(std::uint32_t timeout_ms) {
    ResolverConfig config;
    config.nameservers = {"127.0.0.1"};
    config.port = dns_.port();
    config.timeout_ms = timeout_ms;
    config.retries = 0;
    return config;
  }

  // Starts one worker with a TCP listener whose lookups time out after
  // timeout_ms; with_reload also gives it a generation record.
  void start(std::uint32_t timeout_ms, bool with_reload = false, std::int64_t drain_ms = 5000) {
    policy_ = std::make_unique<LookupPolicy>(resolver_config(timeout_ms));
    WorkerSetup setup;
    setup.index = kIndex;
    setup.max_connections = 64;
    setup.drain_ms = drain_ms;
    LookupPolicy* policy = policy_.get();
    setup.handlers.eom = [policy](MilterConnection& connection, sys::IoLoop& loop) {
      return policy->answer(connection, loop);
    };
    if (with_reload) {
      record_ = std::make_unique<GenerationRecord>();
      Result<std::vector<UniqueFd>> pipes = record_->set_up_workers(1);
      ASSERT_TRUE(pipes.has_value());
      setup.generation = record_.get();
      setup.reload_fd = std::move((*pipes)[kIndex]);
      setup.reload_hook = [policy] { policy->drop_resolver(); };
    }
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(listen(listener.get(), 64), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    setup.listeners.push_back({std::move(listener), "127.0.0.1", port_, false});
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    shutdown_read_.reset(fds[0]);
    shutdown_write_.reset(fds[1]);
    setup.shutdown_fd = shutdown_read_.get();
    Result<std::unique_ptr<Worker>> made = make_worker(std::move(setup));
    ASSERT_TRUE(made.has_value());
    worker_ = std::move(*made);
    thread_ = std::thread([this] {
      worker_main(*worker_);
      done_ = true;
    });
  }

  // A connected client that has negotiated.
  Client connect() {
    Client client = Client::tcp(port_);
    EXPECT_TRUE(client.connected);
    client.send_all(optneg());
    EXPECT_EQ(client.reply().code, 'O');
    return client;
  }

  // Sends one message from sender; the answer is read by expect_answer.
  static void send_message(Client& client, std::string_view sender) {
    client.send_all(milter_packet('M', nul(sender)) + milter_packet('E'));
    EXPECT_EQ(client.reply().code, 'c');
  }

  // The three replies of one answered message.
  static void expect_answer(Client& client, std::string_view sender, std::string_view lookup) {
    const testing::Reply before = client.reply();
    EXPECT_EQ(before.code, 'i');
    EXPECT_EQ(before.payload, LookupPolicy::header("X-Before", sender).substr(1));
    const testing::Reply result = client.reply();
    EXPECT_EQ(result.code, 'i');
    EXPECT_EQ(result.payload, LookupPolicy::header("X-Lookup", lookup).substr(1)) << sender;
    EXPECT_EQ(client.reply().code, 'a');
  }

  // Aborts the message just sent and sends a fast one. The aborted message
  // was either still waiting (nothing of it arrives) or already answered
  // before the abort came (its three replies come first).
  static void abort_and_go_on(Client& client, const Case& aborted);

  bool wait_started(int count) {
    return eventually([&] { return policy_->started.load() >= count; });
  }

  testing::LogCapture log_{Severity::Debug};
  testing::DnsResponder dns_;
  std::unique_ptr<LookupPolicy> policy_;
  std::unique_ptr<GenerationRecord> record_;
  std::uint16_t port_ = 0;
  UniqueFd shutdown_read_;
  UniqueFd shutdown_write_;
  std::unique_ptr<Worker> worker_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

void WorkerEvaluationTest::abort_and_go_on(Client& client, const Case& aborted) {
  client.send_all(milter_packet('A') + milter_packet('M', nul("fast.test")) + milter_packet('E'));
  std::vector<testing::Reply> replies;
  for (int i = 0; i < 7; ++i) {
    replies.push_back(client.reply());
    const bool fast_done = replies.size() >= 3 && replies.back().code == 'a' &&
                           replies[replies.size() - 2].payload ==
                               LookupPolicy::header("X-Lookup", "fast answer").substr(1);
    if (fast_done) break;
  }
  const auto reply = [](std::string_view name, std::string_view value) {
    return testing::Reply{'i', LookupPolicy::header(name, value).substr(1)};
  };
  const std::vector<testing::Reply> fast = {{'c', {}},
                                            reply("X-Before", "fast.test"),
                                            reply("X-Lookup", "fast answer"),
                                            {'a', {}}};
  std::vector<testing::Reply> answered_first = {reply("X-Before", aborted.sender),
                                                reply("X-Lookup", aborted.lookup), {'a', {}}};
  answered_first.insert(answered_first.end(), fast.begin(), fast.end());
  EXPECT_TRUE(replies == fast || replies == answered_first) << aborted.sender;
}

// While two messages wait for names the nameserver never answers, other
// connections of the same worker have several messages answered; the
// waiting ones are answered (with the time-out) only when their own
// lookups give up.
TEST_F(WorkerEvaluationTest, WaitingEvaluationsDelayOnlyTheirOwnMessages) {
  start(3000);
  Client slow = connect();
  Client late = connect();
  send_message(slow, "silent.test");
  send_message(late, "late.test");
  ASSERT_TRUE(wait_started(2));
  std::vector<Client> fast;
  for (int i = 0; i < 3; ++i) fast.push_back(connect());
  for (int round = 0; round < 2; ++round) {
    for (Client& client : fast) send_message(client, round == 0 ? "fast.test" : "other.test");
    for (Client& client : fast) {
      expect_answer(client, round == 0 ? "fast.test" : "other.test",
                    round == 0 ? "fast answer" : "other answer");
    }
  }
  EXPECT_TRUE(slow.nothing_yet());
  EXPECT_TRUE(late.nothing_yet());
  expect_answer(slow, "silent.test", "DnsTimeout");
  expect_answer(late, "late.test", "DnsTimeout");
  // A worker sends the lines of one loop turn after that turn's replies.
  EXPECT_TRUE(
      eventually([&] { return log_.contains("dns: query silent.test failed err=error.DnsTimeout"); }));
}

// Closing, aborting or quitting while the lookup waits ends the evaluation
// without a reply; the connection that aborted goes on with its next
// message, whose replies hold nothing of the aborted one.
TEST_F(WorkerEvaluationTest, CloseAbortAndQuitCancelTheWaitingEvaluation) {
  start(3000);
  Client closing = connect();
  Client aborting = connect();
  Client quitting = connect();
  send_message(closing, "silent.test");
  send_message(aborting, "silent.test");
  send_message(quitting, "late.test");
  ASSERT_TRUE(wait_started(3));
  closing.fd.reset();
  quitting.send_all(milter_packet('Q'));
  EXPECT_TRUE(quitting.closed_by_peer());
  aborting.send_all(milter_packet('A'));
  send_message(aborting, "fast.test");
  expect_answer(aborting, "fast.test", "fast answer");
  // A later connection is served as usual, and none of the cancelled
  // evaluations ever finished.
  Client after = connect();
  send_message(after, "other.test");
  expect_answer(after, "other.test", "other answer");
  EXPECT_EQ(policy_->finished.load(), 2);
  EXPECT_FALSE(log_.contains("dns: query silent.test failed"));
}

// A reload while lookups wait: the waiting evaluation finishes on the
// resolver it started with, the next one uses a fresh resolver (its cache
// is empty, so the name is asked again).
TEST_F(WorkerEvaluationTest, ReloadDuringAnEvaluationKeepsItsResolver) {
  start(800, true);
  Client first = connect();
  send_message(first, "fast.test");
  expect_answer(first, "fast.test", "fast answer");
  Client waiting = connect();
  send_message(waiting, "silent.test");
  // The waiting lookup has reached the responder before the count starts.
  ASSERT_TRUE(eventually([&] {
    for (const auto& query : dns_.take_queries()) {
      if (query.name == "silent.test") return true;
    }
    return false;
  }));
  const std::uint64_t next = record_->advance();
  record_->wake_workers();
  ASSERT_TRUE(eventually([&] { return record_->acknowledged(kIndex) == next; }));
  send_message(first, "fast.test");
  expect_answer(first, "fast.test", "fast answer");
  const auto queries = dns_.take_queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].name, "fast.test");
  expect_answer(waiting, "silent.test", "DnsTimeout");
}

// Draining lets a waiting evaluation finish and answer; the worker leaves
// once the connection closes.
TEST_F(WorkerEvaluationTest, DrainLetsAWaitingEvaluationAnswer) {
  start(600);
  Client waiting = connect();
  send_message(waiting, "silent.test");
  ASSERT_TRUE(wait_started(1));
  shutdown_write_.reset();
  expect_answer(waiting, "silent.test", "DnsTimeout");
  EXPECT_FALSE(done_.load());
  waiting.fd.reset();
  EXPECT_TRUE(eventually([&] { return done_.load(); }));
  EXPECT_FALSE(log_.contains("drain timeout"));
}

// At the drain deadline a connection whose evaluation still waits is
// closed without a reply; its evaluation is destroyed with it.
TEST_F(WorkerEvaluationTest, DrainDeadlineCancelsWhatStillWaits) {
  start(10000, false, 300);
  Client waiting = connect();
  send_message(waiting, "silent.test");
  ASSERT_TRUE(wait_started(1));
  shutdown_write_.reset();
  EXPECT_TRUE(eventually([&] { return done_.load(); }));
  EXPECT_TRUE(log_.contains("drain timeout, closing 1 remaining connections"));
  EXPECT_TRUE(waiting.closed_by_peer());
  EXPECT_EQ(policy_->finished.load(), 0);
}

// Many connections, each sending messages whose lookups are answered, time
// out quickly, or meet a stray datagram first, some of them closed or
// aborted while they wait, in an order a seeded generator picks. Every
// message that is not cancelled gets exactly its own answer.
TEST_F(WorkerEvaluationTest, InterleavedRepliesTimeOutsAndClosesStayConsistent) {
  ASSERT_TRUE(dns_.add_action(
      R"({"name": "stray.test", "wrong_id": true, "then_reply": true, "always": true})"));
  ASSERT_TRUE(dns_.set_zone(R"({"stray.test": {"TXT": ["stray answer"]}})"));
  start(150);
  const Case cases[] = {{"fast.test", "fast answer"},
                        {"other.test", "other answer"},
                        {"stray.test", "stray answer"},
                        {"silent.test", "DnsTimeout"}};
  std::mt19937 random(20261210);
  constexpr int kClients = 12;
  constexpr int kRounds = 4;
  std::vector<Client> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(connect());
  for (int round = 0; round < kRounds; ++round) {
    std::vector<const Case*> sent(kClients, nullptr);
    for (int i = 0; i < kClients; ++i) {
      if (!clients[static_cast<std::size_t>(i)].fd) continue;
      const Case& c = cases[random() % std::size(cases)];
      send_message(clients[static_cast<std::size_t>(i)], c.sender);
      sent[static_cast<std::size_t>(i)] = &c;
    }
    for (int i = 0; i < kClients; ++i) {
      Client& client = clients[static_cast<std::size_t>(i)];
      const Case* c = sent[static_cast<std::size_t>(i)];
      if (c == nullptr) continue;
      switch (random() % 6) {
        case 0:
          client.fd.reset();
          break;
        case 1:
          abort_and_go_on(client, *c);
          break;
        default:
          expect_answer(client, c->sender, c->lookup);
          break;
      }
    }
  }
  // Still serving, and every connection that is left still works.
  for (Client& client : clients) {
    if (!client.fd) continue;
    send_message(client, "fast.test");
    expect_answer(client, "fast.test", "fast answer");
  }
}

}  // namespace
}  // namespace tessvane
