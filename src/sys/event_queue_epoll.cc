// The event queue on Linux, over epoll.
//
// Mapping of the queue's interest onto epoll, one registration per
// descriptor:
// - ReadEdge: EPOLLIN | EPOLLRDHUP | EPOLLET, added (or, for a descriptor
//   number already known, modified).
// - WriteOnce on a descriptor with read interest: epoll has no one-shot
//   filter beside a read one, so the registration is modified to
//   EPOLLIN | EPOLLRDHUP | EPOLLET | EPOLLOUT and, once EPOLLOUT has been
//   reported, modified back to the read mask.
// - WriteOnce on a descriptor without read interest: EPOLLOUT | EPOLLONESHOT.
// forget() drops what is known of a descriptor, since closing it removes
// its epoll registration without a word; a stale guess between ADD and MOD
// is retried with the other operation anyway.
// Events: EPOLLIN and EPOLLHUP/EPOLLERR/EPOLLRDHUP make a readable event,
// the last three also end_of_stream; EPOLLOUT with write interest armed a
// writable one. A change epoll_ctl refuses is reported as an error event.
// The tag is kept per descriptor (the latest change's) and reported with
// each event, a refusal with the refused change's.
// Re-arming with EPOLL_CTL_MOD makes epoll report a descriptor that still
// has unread bytes as readable once more; readers read until it would block
// anyway, so such an event only costs one empty read.

#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

#include "sys/event_queue.h"

namespace tessvane::sys {

namespace {

constexpr std::uint32_t kReadMask = EPOLLIN | EPOLLRDHUP | EPOLLET;
// epoll_wait takes an int count; more per call is never useful.
constexpr std::size_t kMaxWaitEvents = 4096;

struct Registered {
  bool read = false;
  bool write = false;
  Tag tag = 0;
};

ErrorCode wait_error(int err) noexcept {
  switch (err) {
    case EBADF:
    case EINVAL:
    case EFAULT: return ErrorCode::InvalidArgument;
    case ENOMEM: return ErrorCode::SystemResources;
    default: return ErrorCode::Unexpected;
  }
}

}  // namespace

namespace {

std::uint32_t mask_of(Registered r) noexcept {
  if (r.read) return kReadMask | (r.write ? std::uint32_t{EPOLLOUT} : 0);
  return EPOLLOUT | EPOLLONESHOT;
}

// MOD or ADD as the descriptor needs: a number seen before may have been
// closed (and left epoll) since.
bool install(int queue, int descriptor, Registered r) noexcept {
  epoll_event ev{};
  ev.events = mask_of(r);
  ev.data.fd = descriptor;
  if (epoll_ctl(queue, EPOLL_CTL_MOD, descriptor, &ev) == 0) return true;
  if (errno != ENOENT) return false;
  return epoll_ctl(queue, EPOLL_CTL_ADD, descriptor, &ev) == 0;
}

Event translate(const epoll_event& native, Registered& r, int queue) noexcept {
  Event event;
  event.descriptor = native.data.fd;
  event.tag = r.tag;
  const std::uint32_t bits = native.events;
  const bool ended = (bits & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
  event.readable = r.read && ((bits & EPOLLIN) != 0 || ended);
  event.end_of_stream = ended;
  if ((bits & EPOLLOUT) != 0 && r.write) {
    event.writable = true;
    r.write = false;
    // Drop EPOLLOUT again: the interest was for one report only. A write-only
    // registration is EPOLLONESHOT and already disabled by the kernel.
    if (r.read) install(queue, event.descriptor, r);
  }
  return event;
}

}  // namespace

struct EventQueue::State {
  struct Change {
    int descriptor;
    Interest interest;
    Tag tag;
  };

  UniqueFd queue;
  std::array<Change, kMaxPendingChanges> changes{};
  std::size_t change_count = 0;
  std::vector<Event> carried;
  std::unordered_map<int, Registered> registered;
  std::vector<epoll_event> ready;

  // Applies the batch in order and empties it; each refused change is handed
  // to refused().
  template <typename Sink>
  void apply(Sink&& refused) {
    const std::size_t count = std::exchange(change_count, 0);
    for (const Change& change : std::span(changes).first(count)) {
      Registered& r = registered[change.descriptor];
      r.tag = change.tag;
      if (change.interest == Interest::ReadEdge) {
        r.read = true;
      } else {
        r.write = true;
      }
      if (!install(queue.get(), change.descriptor, r)) {
        registered.erase(change.descriptor);
        refused(Event{change.descriptor, change.tag, false, false, false, true});
      }
    }
  }
};

Result<EventQueue> EventQueue::create() noexcept {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return fail(ErrorCode::OutOfMemory);
  state->queue.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!state->queue) {
    const int err = errno;
    return fail(err == ENOMEM ? ErrorCode::SystemResources : error_from_errno(err));
  }
  return EventQueue(std::move(state));
}

EventQueue::EventQueue(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
EventQueue::EventQueue(EventQueue&&) noexcept = default;
EventQueue& EventQueue::operator=(EventQueue&&) noexcept = default;
EventQueue::~EventQueue() = default;

int EventQueue::descriptor() const noexcept {
  return state_->queue.get();
}

Status EventQueue::queue_change(int descriptor, Interest interest, Tag tag) noexcept {
  State& s = *state_;
  Status submitted;
  if (s.change_count == kMaxPendingChanges) {
    // epoll_ctl brings no readiness back, only refusals, which are kept.
    try {
      s.apply([&s](const Event& e) { s.carried.push_back(e); });
    } catch (const std::bad_alloc&) {
      submitted = fail(ErrorCode::SystemResources);
    }
  }
  s.changes[s.change_count++] = {descriptor, interest, tag};
  return submitted;
}

void EventQueue::forget(int descriptor) noexcept {
  State& s = *state_;
  const auto pending = std::span(s.changes).first(s.change_count);
  const auto kept =
      std::remove_if(pending.begin(), pending.end(),
                     [descriptor](const State::Change& c) { return c.descriptor == descriptor; });
  s.change_count = static_cast<std::size_t>(kept - pending.begin());
  std::erase_if(s.carried, [descriptor](const Event& e) { return e.descriptor == descriptor; });
  s.registered.erase(descriptor);
}

std::size_t EventQueue::take_carried(std::span<Event> events) noexcept {
  std::vector<Event>& carried = state_->carried;
  const std::size_t n = std::min(events.size(), carried.size());
  std::copy_n(carried.begin(), n, events.begin());
  carried.erase(carried.begin(), carried.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

Result<std::size_t> EventQueue::wait(std::span<Event> events,
                                     std::optional<int> timeout_ms) noexcept {
  State& s = *state_;
  std::size_t stored = take_carried(events);
  // With no room for the refusals of the batch, it waits for the next call.
  if (stored == events.size()) return stored;
  try {
    s.apply([&](const Event& e) {
      if (stored < events.size()) {
        events[stored++] = e;
      } else {
        s.carried.push_back(e);
      }
    });
    s.ready.resize(events.size() - stored);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::SystemResources);
  }
  if (stored == events.size()) return stored;
  // Kept events and refused changes are reported without blocking, as
  // kevent reports its failed changes at once.
  const int timeout = stored > 0 ? 0 : timeout_ms.value_or(-1);
  const int room = static_cast<int>(std::min<std::size_t>(s.ready.size(), kMaxWaitEvents));
  int n;
  do {
    n = epoll_wait(s.queue.get(), s.ready.data(), room, timeout);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(wait_error(errno));
  for (const epoll_event& native : std::span(s.ready).first(static_cast<std::size_t>(n))) {
    const auto found = s.registered.find(native.data.fd);
    if (found == s.registered.end()) continue;
    events[stored++] = translate(native, found->second, s.queue.get());
  }
  return stored;
}

}  // namespace tessvane::sys
