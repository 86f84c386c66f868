// The event queue on FreeBSD, over kqueue. ReadEdge is EVFILT_READ with
// EV_ADD | EV_CLEAR, WriteOnce EVFILT_WRITE with EV_ADD | EV_ONESHOT; the
// batch goes to the kernel as the changelist of the next kevent call, so one
// call per pass both installs and waits.
//
// What this relies on in FreeBSD's kevent(2):
// - A change the kernel refuses comes back in the eventlist with EV_ERROR
//   (flags are EV_ERROR alone, data the errno, e.g. EBADF for a closed
//   descriptor) while there is room. A call in which any change was refused
//   returns those reports at once, without waiting and without readiness
//   events; the readiness is reported by the next call.
// - With no room left for a refusal the call fails with that error, and the
//   changes after it are not applied: wait() therefore always offers room
//   for one report per change.
// - Read and write filters of one descriptor are separate knotes and come
//   back as separate events, possibly in one list: a handler may meet an
//   event of a descriptor that an earlier event of the same list closed.
// - Closing a descriptor deletes its knotes, and events not yet collected
//   with them; events already copied out to us are not recalled.
// - EINTR means every change was applied, so the retry goes without them.
// - The same source builds on Linux against libkqueue, for tests; where it
//   departs from the above the tests say so (tests/sys), except for what no
//   test can mend, marked TESSVANE_KQUEUE_EMULATED below.

#include <fcntl.h>
#include <sys/event.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "sys/event_queue.h"

namespace tessvane::sys {

namespace {

ErrorCode kevent_error(int err) noexcept {
  switch (err) {
    case EACCES: return ErrorCode::AccessDenied;
    case ENOENT: return ErrorCode::EventNotFound;
    case ENOMEM: return ErrorCode::SystemResources;
    case ESRCH: return ErrorCode::ProcessNotFound;
    case EBADF:
    case EINVAL:
    case EFAULT: return ErrorCode::InvalidArgument;
    default: return ErrorCode::Unexpected;
  }
}

Event translate(const struct kevent& native) noexcept {
  Event event;
  event.descriptor = static_cast<int>(native.ident);
  // The tag travels in udata, which kevent(2) passes through unchanged, in
  // an EV_ERROR report too (that is the refused change itself).
  event.tag = reinterpret_cast<std::uintptr_t>(native.udata);
  if ((native.flags & EV_ERROR) != 0) {
    event.error = true;
    return event;
  }
  event.readable = native.filter == EVFILT_READ;
  event.writable = native.filter == EVFILT_WRITE;
  event.end_of_stream = (native.flags & EV_EOF) != 0;
  return event;
}

// A kqueue is not inherited across fork(2) on FreeBSD, but it is across
// execve(2) unless marked close-on-exec. kqueuex(KQUEUE_CLOEXEC) does that
// atomically from FreeBSD 14 on; before (FreeBSD 13, and libkqueue) the flag
// is set right after kqueue(), which leaves a window only for a thread that
// forks and executes meanwhile: the daemon forks before its workers exist.
UniqueFd open_queue() noexcept {
#ifdef KQUEUE_CLOEXEC
  return UniqueFd(kqueuex(KQUEUE_CLOEXEC));
#else
  UniqueFd queue(kqueue());
  if (!queue) return queue;
  const int flags = fcntl(queue.get(), F_GETFD);
  if (flags < 0 || fcntl(queue.get(), F_SETFD, flags | FD_CLOEXEC) != 0) {
    const int err = errno;
    queue.reset();
    errno = err;
  }
  return queue;
#endif
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
  std::vector<struct kevent> ready;

  // One kevent call with the whole batch (emptied here). The changes are
  // applied before the kernel waits, so an interrupted wait is repeated
  // without them.
  int submit(std::span<struct kevent> out, const timespec* timeout) noexcept {
    std::array<struct kevent, kMaxPendingChanges> native;
    const std::size_t count = std::exchange(change_count, 0);
    for (std::size_t i = 0; i < count; ++i) {
      const bool read = changes[i].interest == Interest::ReadEdge;
      EV_SET(&native[i], static_cast<uintptr_t>(changes[i].descriptor),
             read ? EVFILT_READ : EVFILT_WRITE,
             static_cast<unsigned short>(EV_ADD | (read ? EV_CLEAR : EV_ONESHOT)), 0, 0,
             reinterpret_cast<void*>(static_cast<std::uintptr_t>(changes[i].tag)));
    }
    int n = kevent(queue.get(), native.data(), static_cast<int>(count), out.data(),
                   static_cast<int>(out.size()), timeout);
    while (n < 0 && errno == EINTR) {
      n = kevent(queue.get(), nullptr, 0, out.data(), static_cast<int>(out.size()), timeout);
    }
    return n;
  }
};

Result<EventQueue> EventQueue::create() noexcept {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return fail(ErrorCode::OutOfMemory);
  state->queue = open_queue();
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
    // Room for one report per change, so that a refused change is reported
    // in the list instead of failing the call; readiness that comes back
    // with them is kept for the current pass.
    std::array<struct kevent, kMaxPendingChanges> back;
    const timespec now{0, 0};
    const int n = s.submit(back, &now);
    if (n < 0) {
      submitted = fail(kevent_error(errno));
    } else {
      try {
        for (int i = 0; i < n; ++i)
          s.carried.push_back(translate(back[static_cast<std::size_t>(i)]));
      } catch (const std::bad_alloc&) {
        submitted = fail(ErrorCode::SystemResources);
      }
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
#ifdef TESSVANE_KQUEUE_EMULATED
  // libkqueue cannot see a close(2): its knotes of the number would outlive
  // the descriptor, and an EV_ADD for the next descriptor with that number
  // would modify them and be refused. So here they are deleted first, one
  // filter per call, as a refusal (ENOENT for a filter never added, or a
  // spent one-shot) ends a call. FreeBSD deletes them on close.
  for (const int filter : {EVFILT_READ, EVFILT_WRITE}) {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(descriptor), static_cast<short>(filter), EV_DELETE, 0,
           0, nullptr);
    (void)kevent(s.queue.get(), &change, 1, nullptr, 0, nullptr);
  }
#endif
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
  const std::size_t room = events.size() - stored;
  // kevent(2) stops applying the changelist at the first refusal that finds
  // the eventlist full, and fails: the changes after it would be lost. So
  // the list has room for a refusal of every change; what does not fit into
  // events is kept for take_carried().
  const std::size_t capacity = std::max(room, s.change_count);
  try {
    s.ready.resize(capacity);
    s.carried.reserve(s.carried.size() + (capacity - room));
  } catch (const std::bad_alloc&) {
    s.change_count = 0;
    return fail(ErrorCode::SystemResources);
  }
  // Kept events are reported without blocking.
  timespec limit{0, 0};
  if (stored == 0 && timeout_ms) {
    limit = {*timeout_ms / 1000, static_cast<long>(*timeout_ms % 1000) * 1'000'000};
  }
  const bool unlimited = stored == 0 && !timeout_ms;
  const int n = s.submit(s.ready, unlimited ? nullptr : &limit);
  if (n < 0) return fail(kevent_error(errno));
  for (const struct kevent& native : std::span(s.ready).first(static_cast<std::size_t>(n))) {
    if (stored < events.size()) {
      events[stored++] = translate(native);
    } else {
      s.carried.push_back(translate(native));
    }
  }
  return stored;
}

}  // namespace tessvane::sys
