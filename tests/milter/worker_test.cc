// The worker event loop on its own thread, with real listening sockets, a
// real shutdown pipe and reload pipe, and clients that play the MTA with
// real milter packets.

#include "milter/worker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "milter/connection.h"
#include "milter_peer.h"
#include "worker_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::milter_packet;
using testing::u32_text;
using testing::Client;
using testing::eventually;
using testing::optneg;

constexpr std::size_t kWorkerIndex = 3;

class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest() {
    setup.index = kWorkerIndex;
    setup.max_connections = 16;
    setup.drain_ms = 200;
    setup.handlers.eom = testing::immediate_eom([this](MilterConnection& connection) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        labels.emplace_back(connection.peer_label_text());
      }
      const std::string body = "i" + u32_text(1) + testing::nul("X-Seen") +
                               testing::nul(std::string(header_value_size, 'v'));
      EXPECT_TRUE(queue_reply(connection, as_bytes(body)));
      return MilterResponse::Accept;
    });
  }

  ~WorkerTest() override {
    stop();
    if (thread.joinable()) thread.join();
  }

  void open_tcp_listener() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd.get(), 16), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = ntohs(address.sin_port);
    setup.listeners.push_back({std::move(fd), "127.0.0.1", port, false});
  }

  void open_unix_listener() {
    unix_path = dir.file("milter.sock");
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, unix_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd.get(), 16), 0);
    setup.listeners.push_back({std::move(fd), unix_path, 0, true});
  }

  void start() {
    build();
    launch();
  }

  // The worker without its thread, for scripted events.
  void build() {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    shutdown_read.reset(fds[0]);
    shutdown_write.reset(fds[1]);
    setup.shutdown_fd = shutdown_read.get();
    Result<std::unique_ptr<Worker>> made = make_worker(std::move(setup));
    ASSERT_TRUE(made.has_value());
    worker = std::move(*made);
  }

  void launch() {
    thread = std::thread([this] {
      worker_main(*worker);
      finished = true;
    });
  }

  void stop() { shutdown_write.reset(); }

  bool wait_finished() {
    return eventually([this] { return finished.load(); });
  }

  // Negotiates and finishes one message; true when both answers came.
  static bool exchange(Client& client) {
    client.send_all(optneg());
    if (client.reply().code != 'O') return false;
    client.send_all(milter_packet('E'));
    const testing::Reply header = client.reply();
    return header.code == 'i' && client.reply().code == 'a';
  }

  // A new client is served within a few attempts (the worker notices a
  // closed connection asynchronously).
  static bool served_soon(const std::function<Client()>& connect) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      Client next = connect();
      if (exchange(next)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::vector<std::string> seen_labels() {
    std::lock_guard<std::mutex> lock(mutex);
    return labels;
  }

  testing::LogCapture log{Severity::Debug};
  testing::TempDir dir;
  WorkerSetup setup;
  std::uint16_t port = 0;
  std::string unix_path;
  std::size_t header_value_size = 8;
  UniqueFd shutdown_read;
  UniqueFd shutdown_write;
  std::unique_ptr<Worker> worker;
  std::thread thread;
  std::atomic<bool> finished{false};
  std::mutex mutex;
  std::vector<std::string> labels;
};

TEST_F(WorkerTest, AnswersAFullExchangeAndLabelsTheIpv4Peer) {
  open_tcp_listener();
  start();
  Client client = Client::tcp(port);
  ASSERT_TRUE(client.connected);
  EXPECT_TRUE(exchange(client));
  EXPECT_TRUE(exchange(client));
  EXPECT_EQ(seen_labels(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
}

TEST_F(WorkerTest, LabelsAUnixDomainPeerLocal) {
  open_unix_listener();
  start();
  Client client = Client::local(unix_path);
  ASSERT_TRUE(client.connected);
  EXPECT_TRUE(exchange(client));
  EXPECT_EQ(seen_labels(), std::vector<std::string>{"local"});
}

TEST_F(WorkerTest, RefusesBeyondMaxConnectionsAndReportsOnce) {
  setup.max_connections = 1;
  open_tcp_listener();
  start();
  Client first = Client::tcp(port);
  ASSERT_TRUE(exchange(first));
  Client second = Client::tcp(port);
  ASSERT_TRUE(second.connected);
  EXPECT_TRUE(second.closed_by_peer());
  const std::string warning = "refused 1 connection(s): worker 3 is at MaxConnections=1";
  EXPECT_TRUE(eventually([&] { return log.contains(warning); }));
  // Refusals inside the next second are counted and reported together by
  // the first accept pass after it.
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(Client::tcp(port).closed_by_peer());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(Client::tcp(port).closed_by_peer());
  EXPECT_TRUE(eventually(
      [&] { return log.contains("refused 3 connection(s): worker 3 is at MaxConnections=1"); }));
  // The first connection is still served; once it has gone, a new one is.
  EXPECT_TRUE(exchange(first));
  first.fd.reset();
  EXPECT_TRUE(served_soon([this] { return Client::tcp(port); }));
}

// Exactly one full read's worth first, so that only a second read on the
// same event finds the end-of-message command.
TEST_F(WorkerTest, ReadsOnAfterAFullChunk) {
  open_unix_listener();
  start();
  const std::string first = optneg();
  const std::size_t padding = kWorkerReadChunk - first.size() - 5 - 2;
  const std::string macros =
      milter_packet('D', "C" + testing::nul("{unused}") + std::string(padding - 9, 'm') + '\0');
  std::string bytes = first + macros;
  ASSERT_EQ(bytes.size(), kWorkerReadChunk);
  bytes += milter_packet('E');
  Client client = Client::local(unix_path);
  ASSERT_TRUE(client.connected);
  client.send_all(bytes);
  EXPECT_EQ(client.reply().code, 'O');
  EXPECT_EQ(client.reply().code, 'i');
  EXPECT_EQ(client.reply().code, 'a');
}

TEST_F(WorkerTest, DrainsAndExitsWhenTheLastConnectionCloses) {
  open_tcp_listener();
  open_unix_listener();
  start();
  Client open = Client::tcp(port);
  ASSERT_TRUE(exchange(open));
  stop();
  // New connections are not taken: the TCP listener is closed, the Unix path gone.
  ASSERT_TRUE(eventually([&] {
    struct stat info;
    return stat(unix_path.c_str(), &info) != 0 && !Client::tcp(port).connected;
  }));
  EXPECT_TRUE(exchange(open));
  EXPECT_FALSE(finished.load());
  open.fd.reset();
  EXPECT_TRUE(wait_finished());
  EXPECT_FALSE(log.contains("drain timeout"));
}

TEST_F(WorkerTest, DrainTimeoutClosesWhatRemains) {
  open_tcp_listener();
  start();
  Client first = Client::tcp(port);
  Client second = Client::tcp(port);
  ASSERT_TRUE(exchange(first));
  ASSERT_TRUE(exchange(second));
  stop();
  EXPECT_TRUE(wait_finished());
  EXPECT_TRUE(log.contains("drain timeout, closing 2 remaining connections"));
  EXPECT_TRUE(first.closed_by_peer());
  EXPECT_TRUE(second.closed_by_peer());
}

TEST_F(WorkerTest, EndOfStreamClosesTheConnection) {
  setup.max_connections = 1;
  open_unix_listener();
  start();
  {
    Client gone = Client::local(unix_path);
    ASSERT_TRUE(exchange(gone));
  }
  // Only a closed first connection leaves room for the second.
  EXPECT_TRUE(served_soon([this] { return Client::local(unix_path); }));
}

// The worker's end of an accepted connection: the descriptor of this
// process whose peer address is the client's own address, or -1.
int accepted_end(const Client& client) {
  sockaddr_storage own{};
  socklen_t own_length = sizeof own;
  if (getsockname(client.fd.get(), reinterpret_cast<sockaddr*>(&own), &own_length) != 0) return -1;
  const long open_max = std::min(sysconf(_SC_OPEN_MAX), 65536L);
  for (int fd = 0; fd < open_max; ++fd) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
        peer_length == own_length && std::memcmp(&peer, &own, own_length) == 0) {
      return fd;
    }
  }
  return -1;
}

int int_option(int fd, int level, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  return getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

// Replies are small and latency-bound: Nagle's algorithm would hold each one
// until the MTA acknowledged the previous segment.
TEST_F(WorkerTest, AcceptedTcpConnectionsSendWithoutDelayAndKeepAlive) {
  open_tcp_listener();
  start();
  Client client = Client::tcp(port);
  ASSERT_TRUE(exchange(client));
  const int daemon_end = accepted_end(client);
  ASSERT_GE(daemon_end, 0);
  EXPECT_NE(int_option(daemon_end, IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_NE(int_option(daemon_end, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(int_option(client.fd.get(), IPPROTO_TCP, TCP_NODELAY), 0) << "not the default";
}

// The process's descriptor table made full by lowering its soft limit to the
// lowest free descriptor, so that accept fails with EMFILE; restored when it
// goes. Nothing in the test may open a descriptor meanwhile.
class FullDescriptorTable {
 public:
  FullDescriptorTable() {
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0);
    const int lowest_free = dup(0);
    EXPECT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  }
  ~FullDescriptorTable() { restore(); }
  void restore() {
    if (restored_) return;
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved_), 0);
    restored_ = true;
  }

 private:
  rlimit saved_{};
  bool restored_ = false;
};

// A client socket made before the table is full, connected afterwards.
UniqueFd unconnected_client() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval timeout{testing::kReplyTimeoutMs / 1000, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

bool connect_loopback(const UniqueFd& fd, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Connections queued behind a failed accept get no new readiness event; the
// worker must go back for them on its own, once the error has passed.
TEST_F(WorkerTest, ConnectionsQueuedBehindAnAcceptErrorAreServedOnceItClears) {
  open_tcp_listener();
  start();
  Client running = Client::tcp(port);  // the worker has its log connection
  ASSERT_TRUE(exchange(running));
  Client waiting = Client::adopt(unconnected_client());
  Client also_waiting = Client::adopt(unconnected_client());
  {
    FullDescriptorTable full;
    ASSERT_TRUE(connect_loopback(waiting.fd, port));
    ASSERT_TRUE(connect_loopback(also_waiting.fd, port));
    EXPECT_TRUE(
        eventually([&] { return log.contains("accept error: error.ProcessFdQuotaExceeded"); }));
  }
  // No further connection arrives to wake the listener.
  EXPECT_TRUE(exchange(waiting));
  EXPECT_TRUE(exchange(also_waiting));
}

// A closing connection frees a descriptor: the queued one is taken then.
TEST_F(WorkerTest, ConnectionQueuedBehindAnAcceptErrorIsServedWhenAnotherCloses) {
  open_tcp_listener();
  start();
  Client first = Client::tcp(port);
  ASSERT_TRUE(exchange(first));
  Client waiting = Client::adopt(unconnected_client());
  FullDescriptorTable full;
  ASSERT_TRUE(connect_loopback(waiting.fd, port));
  ASSERT_TRUE(
      eventually([&] { return log.contains("accept error: error.ProcessFdQuotaExceeded"); }));
  first.fd.reset();
  EXPECT_TRUE(exchange(waiting));
  full.restore();
}

TEST_F(WorkerTest, ReloadByteAcknowledgesAndCallsTheHookOnce) {
  GenerationRecord record;
  Result<std::vector<UniqueFd>> pipes = record.set_up_workers(kWorkerIndex + 1);
  ASSERT_TRUE(pipes.has_value());
  std::atomic<int> hook_calls{0};
  setup.generation = &record;
  setup.reload_fd = std::move((*pipes)[kWorkerIndex]);
  setup.reload_hook = [&hook_calls] { ++hook_calls; };
  open_tcp_listener();
  start();
  const std::uint64_t next = record.advance();
  record.wake_workers();
  EXPECT_TRUE(eventually([&] { return record.acknowledged(kWorkerIndex) == next; }));
  EXPECT_TRUE(eventually([&] { return hook_calls.load() == 1; }));
  // A wake-up without a new generation calls nothing; the loop still serves.
  record.wake_workers();
  Client client = Client::tcp(port);
  EXPECT_TRUE(exchange(client));
  EXPECT_EQ(hook_calls.load(), 1);
  stop();
  client.fd.reset();
  EXPECT_TRUE(wait_finished());
  thread.join();
  record.release();
}

// A reply larger than the socket takes is held, and written through the
// loop once the client reads again.
TEST_F(WorkerTest, HeldReplyResumesWhenThePeerReads) {
  header_value_size = 240000;
  open_unix_listener();
  start();
  Client client = Client::local(unix_path);
  ASSERT_TRUE(client.connected);
  const int small = 4096;
  setsockopt(client.fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  client.send_all(optneg());
  ASSERT_EQ(client.reply().code, 'O');
  client.send_all(milter_packet('E'));
  EXPECT_TRUE(eventually([&] { return log.contains("holding "); }));
  const testing::Reply header = client.reply();
  EXPECT_EQ(header.code, 'i');
  EXPECT_EQ(header.payload.size(), 4 + 7 + header_value_size + 1);
  EXPECT_EQ(client.reply().code, 'a');
}

// The lowest free descriptor number: the one the next accept gets.
int lowest_free_descriptor() {
  const int probe = fcntl(0, F_DUPFD_CLOEXEC, 0);
  close(probe);
  return probe;
}

bool is_open_socket(int descriptor) {
  struct stat info;
  return fstat(descriptor, &info) == 0 && S_ISSOCK(info.st_mode);
}

// kqueue reports the read and write filters of a descriptor as separate
// events, so one list can hold: a write event of connection A whose flush
// fails and closes it, a listener event whose accept gives A's descriptor to
// a new connection B, then A's end of stream. No kernel here yields that
// order (epoll, and libkqueue over it, report both filters of a descriptor
// in one go), so the list is scripted, with the tags of a kqueue: a
// connection's serial, 1 for the first the worker accepts. B must survive.
TEST_F(WorkerTest, StaleEventOfAClosedConnectionSparesTheNextOnItsDescriptor) {
  header_value_size = 240000;  // held: more than the sockets take
  open_unix_listener();
  const int listener = setup.listeners.back().socket.get();
  build();
  Client a = Client::local(unix_path);
  ASSERT_TRUE(a.connected);
  const int small = 4096;
  setsockopt(a.fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const int number = lowest_free_descriptor();
  const sys::Event accept_ready{.descriptor = listener, .readable = true};
  worker->handle_events(std::array{accept_ready});
  ASSERT_TRUE(is_open_socket(number));
  constexpr sys::Tag kA = 1;
  a.send_all(optneg() + milter_packet('E'));
  worker->handle_events(std::array{sys::Event{.descriptor = number, .tag = kA, .readable = true}});
  ASSERT_TRUE(log.contains("holding "));
  a.fd.reset();  // the next write to A fails
  Client b = Client::local(unix_path);
  ASSERT_TRUE(b.connected);
  worker->handle_events(std::array{
      sys::Event{.descriptor = number, .tag = kA, .writable = true},
      accept_ready,
      sys::Event{.descriptor = number, .tag = kA, .readable = true, .end_of_stream = true},
  });
  EXPECT_TRUE(log.contains("reply write failed"));
  EXPECT_TRUE(is_open_socket(number));  // B's, after A's
  launch();
  EXPECT_TRUE(exchange(b));
}

// A pass accepts one connection, so that the workers a shared listening
// socket wakes together take a burst in turns; the next pass takes the
// next one without a new edge, and a full worker refuses one per pass.
TEST_F(WorkerTest, APassAcceptsOneConnectionAndTheNextPassGoesOn) {
  setup.max_connections = 2;
  open_unix_listener();
  const int listener = setup.listeners.back().socket.get();
  build();
  std::vector<Client> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(Client::local(unix_path));
    ASSERT_TRUE(clients.back().connected);
  }
  const int first = lowest_free_descriptor();
  worker->handle_events(std::array{sys::Event{.descriptor = listener, .readable = true}});
  ASSERT_TRUE(is_open_socket(first));
  // Had the first pass taken more, the second would find nothing to take.
  const int second = lowest_free_descriptor();
  worker->handle_events({});
  EXPECT_TRUE(is_open_socket(second));
  const int third = lowest_free_descriptor();
  worker->handle_events({});  // the third finds the worker full
  EXPECT_FALSE(is_open_socket(third));
  EXPECT_TRUE(clients[2].closed_by_peer());
  launch();
  EXPECT_TRUE(exchange(clients[0]));
  EXPECT_TRUE(exchange(clients[1]));
}

// A peer that keeps its socket full (a flooding MTA) gets a bounded turn:
// one pass reads at most kWorkerReadsPerTurn chunks of it and serves the
// other connections; the next pass reads on without waiting for an edge,
// since none will come for bytes already there, and the edges its new bytes
// raise meanwhile do not give it a second turn in a pass.
TEST_F(WorkerTest, AFullSocketGetsABoundedTurnAndIsReadOnInTheNextPass) {
  open_unix_listener();
  const int listener = setup.listeners.back().socket.get();
  build();
  const sys::Event accept_ready{.descriptor = listener, .readable = true};
  Client flooding = Client::local(unix_path);
  ASSERT_TRUE(flooding.connected);
  const int flooding_number = lowest_free_descriptor();
  worker->handle_events(std::array{accept_ready});
  ASSERT_TRUE(is_open_socket(flooding_number));
  Client quiet = Client::local(unix_path);
  ASSERT_TRUE(quiet.connected);
  const int quiet_number = lowest_free_descriptor();
  worker->handle_events(std::array{accept_ready});
  ASSERT_TRUE(is_open_socket(quiet_number));
  // Macros get no reply: all the flooding peer hears is its negotiation.
  std::string flood = optneg();
  while (flood.size() < (kWorkerReadsPerTurn + 2) * kWorkerReadChunk) {
    flood += milter_packet('D', "C" + testing::nul("{x}") + testing::nul("y"));
  }
  flooding.send_all(flood);
  quiet.send_all(optneg());
  worker->handle_events(std::array{
      sys::Event{.descriptor = flooding_number, .tag = 1, .readable = true},
      sys::Event{.descriptor = quiet_number, .tag = 2, .readable = true},
  });
  EXPECT_EQ(quiet.reply().code, 'O');
  EXPECT_EQ(flooding.reply().code, 'O');
  int unread = 0;
  ASSERT_EQ(ioctl(flooding_number, FIONREAD, &unread), 0);
  const std::size_t left = flood.size() - kWorkerReadsPerTurn * kWorkerReadChunk;
  EXPECT_EQ(static_cast<std::size_t>(unread), left);
  std::string more;
  while (more.size() < kWorkerReadsPerTurn * kWorkerReadChunk) {
    more += milter_packet('D', "C" + testing::nul("{x}") + testing::nul("y"));
  }
  flooding.send_all(more);
  worker->handle_events(
      std::array{sys::Event{.descriptor = flooding_number, .tag = 1, .readable = true}});
  ASSERT_EQ(ioctl(flooding_number, FIONREAD, &unread), 0);
  EXPECT_EQ(static_cast<std::size_t>(unread), left + more.size() - kWorkerReadsPerTurn * kWorkerReadChunk);
  worker->handle_events({});
  ASSERT_EQ(ioctl(flooding_number, FIONREAD, &unread), 0);
  EXPECT_EQ(unread, 0);
  launch();
  EXPECT_TRUE(exchange(quiet));
}

}  // namespace
}  // namespace tessvane
