// The event queue of the platform the tree is built for, against real
// socket pairs: edge-triggered reads, one-shot writes, end of stream, batch
// submission, refused changes and timeouts.

#include "sys/event_queue.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

namespace tessvane::sys {
namespace {

// Long enough that a ready descriptor is always reported, short enough that
// a wait expected to time out keeps the suite fast.
constexpr int kWaitMs = 2000;
constexpr int kQuietMs = 50;

struct Pair {
  UniqueFd near;
  UniqueFd far;
};

Pair socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0) << errno;
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A connected loopback TCP pair, both ends non-blocking.
Pair tcp_pair() {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener.get(), 1), 0);
  EXPECT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  UniqueFd far(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(connect(far.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  UniqueFd near(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  EXPECT_GE(fcntl(far.get(), F_SETFL, O_NONBLOCK), 0);
  return {std::move(near), std::move(far)};
}

void send_text(const UniqueFd& fd, std::string_view text) {
  ASSERT_EQ(send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(text.size()));
}

// Reads until the socket would block; returns the byte count.
std::size_t drain(const UniqueFd& fd) {
  std::array<char, 4096> buffer;
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
  }
}

class EventQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<EventQueue> created = EventQueue::create();
    ASSERT_TRUE(created.has_value()) << error_name(created.error());
    queue_.emplace(std::move(*created));
  }

  std::vector<Event> wait_for(int timeout_ms) {
    std::array<Event, 64> events;
    const Result<std::size_t> n = queue_->wait(events, timeout_ms);
    EXPECT_TRUE(n.has_value()) << error_name(n.error());
    if (!n) return {};
    return {events.begin(), events.begin() + static_cast<std::ptrdiff_t>(*n)};
  }

  std::optional<EventQueue> queue_;
};

TEST_F(EventQueueTest, CreatesCloseOnExecDescriptor) {
  const int flags = fcntl(queue_->descriptor(), F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
}

TEST_F(EventQueueTest, WaitTimesOutWithNothingReady) {
  Pair pair = socket_pair();
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  EXPECT_TRUE(wait_for(kQuietMs).empty());
}

TEST_F(EventQueueTest, ReadInterestIsEdgeTriggered) {
  Pair pair = socket_pair();
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  send_text(pair.far, "first");
  std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].descriptor, pair.near.get());
  EXPECT_TRUE(events[0].readable);
  EXPECT_FALSE(events[0].writable);
  EXPECT_FALSE(events[0].end_of_stream);
  EXPECT_FALSE(events[0].error);
  // Unread bytes do not make a second report: only new bytes do.
  EXPECT_TRUE(wait_for(kQuietMs).empty());
  send_text(pair.far, "second");
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].readable);
  EXPECT_EQ(drain(pair.near), 11u);
}

TEST_F(EventQueueTest, BytesPendingAtRegistrationAreReported) {
  Pair pair = socket_pair();
  send_text(pair.far, "early");
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].readable);
}

TEST_F(EventQueueTest, WriteInterestFiresOnceBesideReadInterest) {
  Pair pair = socket_pair();
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::WriteOnce));
  std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].writable);
  EXPECT_FALSE(events[0].readable);
  EXPECT_TRUE(wait_for(kQuietMs).empty());
  // Read interest survives the spent write interest...
  send_text(pair.far, "x");
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].readable);
  EXPECT_FALSE(events[0].writable);
  EXPECT_EQ(drain(pair.near), 1u);
  // ...and write interest can be asked for again.
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::WriteOnce));
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].writable);
  EXPECT_TRUE(wait_for(kQuietMs).empty());
}

TEST_F(EventQueueTest, WriteInterestFiresOnceWithoutReadInterest) {
  Pair pair = socket_pair();
  ASSERT_TRUE(queue_->queue_change(pair.far.get(), Interest::WriteOnce));
  std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].descriptor, pair.far.get());
  EXPECT_TRUE(events[0].writable);
  EXPECT_TRUE(wait_for(kQuietMs).empty());
  ASSERT_TRUE(queue_->queue_change(pair.far.get(), Interest::WriteOnce));
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].writable);
}

TEST_F(EventQueueTest, PeerCloseSetsEndOfStream) {
  Pair pair = socket_pair();
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  ASSERT_TRUE(wait_for(kQuietMs).empty());
  pair.far.reset();
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].readable);
  EXPECT_TRUE(events[0].end_of_stream);
  EXPECT_FALSE(events[0].error);
}

// The milter worker stops reading a connection at a short read: that is
// sound only if bytes and the close that come after it are reported anew.
TEST_F(EventQueueTest, AfterAShortReadLaterBytesAndTheCloseAreReported) {
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "unix");
    Pair pair = tcp ? tcp_pair() : socket_pair();
    ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
    std::array<char, 4096> buffer;
    for (const std::string_view text : {"first", "second"}) {
      send_text(pair.far, text);
      std::vector<Event> events = wait_for(kWaitMs);
      ASSERT_EQ(events.size(), 1u);
      EXPECT_TRUE(events[0].readable);
      EXPECT_FALSE(events[0].end_of_stream);
      ASSERT_EQ(recv(pair.near.get(), buffer.data(), buffer.size(), 0),
                static_cast<ssize_t>(text.size()));
    }
    pair.far.reset();
    const std::vector<Event> events = wait_for(kWaitMs);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].end_of_stream);
    queue_->forget(pair.near.get());
  }
}

TEST_F(EventQueueTest, PipeWriterCloseSetsEndOfStream) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);
  ASSERT_TRUE(queue_->queue_change(reader.get(), Interest::ReadEdge));
  ASSERT_TRUE(wait_for(kQuietMs).empty());
  writer.reset();
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].descriptor, reader.get());
  EXPECT_TRUE(events[0].readable);
  EXPECT_TRUE(events[0].end_of_stream);
}

TEST_F(EventQueueTest, RefusedChangeIsAnErrorEvent) {
  Pair pair = socket_pair();
  // Made before the close, so that it cannot take the closed number.
  Pair ready = socket_pair();
  const int closed = pair.far.get();
  pair.far.reset();
  ASSERT_TRUE(queue_->queue_change(closed, Interest::ReadEdge));
#ifdef TESSVANE_KQUEUE_EMULATED
  // libkqueue departs from FreeBSD's kevent(2) here. FreeBSD returns at once
  // when a change was refused, with only the EV_ERROR reports. libkqueue
  // writes the report, then waits for readiness all the same, and a wait
  // that ends with none returns 0, dropping the report (with no time limit
  // it would not return at all). So here a ready descriptor goes into the
  // same batch: its readiness brings the refusal back with it.
  send_text(ready.far, "x");
  ASSERT_TRUE(queue_->queue_change(ready.near.get(), Interest::ReadEdge));
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].descriptor, ready.near.get());
  EXPECT_TRUE(events[1].readable);
#else
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
#endif
  EXPECT_EQ(events[0].descriptor, closed);
  EXPECT_TRUE(events[0].error);
  EXPECT_FALSE(events[0].readable);
  EXPECT_FALSE(events[0].writable);
}

// kevent(2) gives up on the changelist at the first refusal that finds no
// room left in the eventlist; a wait for fewer events than changes must still
// apply every change, and report every refusal.
TEST_F(EventQueueTest, RefusalsBeyondTheEventListLoseNoChange) {
  Pair pair = socket_pair();
  std::vector<int> closed;
  {
    std::vector<Pair> gone;
    for (int i = 0; i < 3; ++i) gone.push_back(socket_pair());
    for (const Pair& p : gone) closed.push_back(p.near.get());
  }
  for (int fd : closed) ASSERT_TRUE(queue_->queue_change(fd, Interest::ReadEdge));
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  send_text(pair.far, "after the refusals");
  std::vector<int> refused;
  bool readable = false;
  for (int round = 0; round < 8 && !readable; ++round) {
    std::array<Event, 1> one;
    const Result<std::size_t> n = queue_->wait(one, kWaitMs);
    ASSERT_TRUE(n.has_value()) << error_name(n.error());
    if (*n == 0) break;
    if (one[0].error) refused.push_back(one[0].descriptor);
    if (one[0].readable && one[0].descriptor == pair.near.get()) readable = true;
  }
  EXPECT_TRUE(readable);
  std::sort(refused.begin(), refused.end());
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(refused, closed);
}

TEST_F(EventQueueTest, ForgetDropsPendingChanges) {
  Pair pair = socket_pair();
  send_text(pair.far, "ignored");
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge));
  queue_->forget(pair.near.get());
  EXPECT_TRUE(wait_for(kQuietMs).empty());
}

// The tag of a registration comes back with its events, readiness and
// refusal alike, and a new holder of a descriptor number gets its own.
TEST_F(EventQueueTest, EventsCarryTheTagOfTheirRegistration) {
  Pair pair = socket_pair();
  Pair spare = socket_pair();
  const int closed = spare.far.get();
  spare.far.reset();
  constexpr Tag kFirst = 0x1'0000'0007;  // wider than 32 bits on purpose
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::ReadEdge, kFirst));
  ASSERT_TRUE(queue_->queue_change(pair.near.get(), Interest::WriteOnce, kFirst));
  std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].writable);
  EXPECT_EQ(events[0].tag, kFirst);
  send_text(pair.far, "x");
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].readable);
  EXPECT_EQ(events[0].tag, kFirst);
  drain(pair.near);

  const int number = pair.near.get();
  queue_->forget(number);
  pair = {};
  Pair next = socket_pair();
  ASSERT_EQ(next.near.get(), number);
  ASSERT_TRUE(queue_->queue_change(number, Interest::ReadEdge, 8));
  ASSERT_TRUE(queue_->queue_change(closed, Interest::ReadEdge, 9));
#ifdef TESSVANE_KQUEUE_EMULATED
  // As in RefusedChangeIsAnErrorEvent: libkqueue drops a refusal that no
  // readiness comes back with.
  send_text(next.far, "y");
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 2u);
#else
  events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  send_text(next.far, "y");
  const std::vector<Event> later = wait_for(kWaitMs);
  events.insert(events.end(), later.begin(), later.end());
  ASSERT_EQ(events.size(), 2u);
#endif
  EXPECT_TRUE(events[0].error);
  EXPECT_EQ(events[0].descriptor, closed);
  EXPECT_EQ(events[0].tag, 9u);
  EXPECT_TRUE(events[1].readable);
  EXPECT_EQ(events[1].descriptor, number);
  EXPECT_EQ(events[1].tag, 8u);
}

// A connection closes and the next accept gets its number: the new
// descriptor's registration must take, and nothing of the old one be left.
TEST_F(EventQueueTest, ReusedNumberIsANewRegistration) {
  Pair old_pair = socket_pair();
  const int number = old_pair.near.get();
  ASSERT_TRUE(queue_->queue_change(number, Interest::ReadEdge));
  ASSERT_TRUE(queue_->queue_change(number, Interest::WriteOnce));
  ASSERT_EQ(wait_for(kWaitMs).size(), 1u);  // the write interest, spent
  queue_->forget(number);
  old_pair = {};
  Pair new_pair = socket_pair();
  ASSERT_EQ(new_pair.near.get(), number);
  ASSERT_TRUE(queue_->queue_change(number, Interest::ReadEdge));
  EXPECT_TRUE(wait_for(kQuietMs).empty());
  send_text(new_pair.far, "new");
  const std::vector<Event> events = wait_for(kWaitMs);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].descriptor, number);
  EXPECT_TRUE(events[0].readable);
  EXPECT_FALSE(events[0].error);
}

// One listening socket in two queues, as the workers share one: a
// connection wakes both before either accepts, so a busy worker leaves it to
// a free one, and the next connection wakes both again.
TEST(SharedListenerTest, EveryQueueIsWokenAndEitherMayAccept) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.get(), 8), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<EventQueue> queues;
  for (int i = 0; i < 2; ++i) {
    Result<EventQueue> created = EventQueue::create();
    ASSERT_TRUE(created.has_value());
    queues.push_back(std::move(*created));
    ASSERT_TRUE(queues.back().queue_change(listener.get(), Interest::ReadEdge));
    std::array<Event, 4> none;
    ASSERT_EQ(queues.back().wait(none, kQuietMs).value_or(99), 0u);
  }
  std::vector<UniqueFd> clients;
  for (int round = 0; round < 2; ++round) {
    clients.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(clients.back().get(), reinterpret_cast<const sockaddr*>(&address),
                      sizeof address),
              0);
    for (EventQueue& queue : queues) {
      std::array<Event, 4> events;
      const Result<std::size_t> n = queue.wait(events, kWaitMs);
      ASSERT_TRUE(n.has_value());
      ASSERT_EQ(*n, 1u);
      EXPECT_EQ(events[0].descriptor, listener.get());
      EXPECT_TRUE(events[0].readable);
    }
    // One owner takes the connection; the other finds nothing left.
    UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(accepted.valid()) << errno;
    EXPECT_LT(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), 0);
    EXPECT_EQ(errno, EAGAIN);
  }
}

// A full batch is submitted on its own when one more change arrives; nothing
// that submission learns may be lost, neither readiness nor refusals.
TEST_F(EventQueueTest, FullBatchSubmissionLosesNoEvents) {
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < kMaxPendingChanges + 1; ++i) pairs.push_back(socket_pair());
  Pair refused = socket_pair();
  const int closed = refused.near.get();
  refused.near.reset();
  ASSERT_TRUE(queue_->queue_change(closed, Interest::ReadEdge));
  for (std::size_t i = 0; i < kMaxPendingChanges; ++i) {
    send_text(pairs[i].far, "ready");
    ASSERT_TRUE(queue_->queue_change(pairs[i].near.get(), Interest::ReadEdge));
  }
  send_text(pairs.back().far, "ready");
  ASSERT_TRUE(queue_->queue_change(pairs.back().near.get(), Interest::ReadEdge));
  std::vector<int> readable;
  bool saw_refusal = false;
  std::array<Event, 8> carried;
  const std::size_t kept = queue_->take_carried(carried);
  for (const Event& e : std::span(carried).first(kept)) {
    if (e.error && e.descriptor == closed) saw_refusal = true;
    if (e.readable) readable.push_back(e.descriptor);
  }
  for (int round = 0; round < 64 && readable.size() < pairs.size(); ++round) {
    const std::vector<Event> events = wait_for(kWaitMs);
    if (events.empty()) break;
    for (const Event& e : events) {
      if (e.error && e.descriptor == closed) saw_refusal = true;
      if (e.readable) readable.push_back(e.descriptor);
    }
  }
  EXPECT_TRUE(saw_refusal);
  std::vector<int> expected;
  for (const Pair& p : pairs) expected.push_back(p.near.get());
  std::sort(readable.begin(), readable.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(readable, expected);
}

}  // namespace
}  // namespace tessvane::sys
