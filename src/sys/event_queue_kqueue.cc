// The event queue on FreeBSD, over kqueue. ReadEdge is EVFILT_READ with
// EV_ADD | EV_CLEAR, WriteOnce EVFILT_WRITE with EV_ADD | EV_ONESHOT; the
// batch goes to the kernel as the changelist of the next kevent call, so one
// call per pass both installs and waits.

#include <sys/event.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
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
  if ((native.flags & EV_ERROR) != 0) {
    event.error = true;
    return event;
  }
  event.readable = native.filter == EVFILT_READ;
  event.writable = native.filter == EVFILT_WRITE;
  event.end_of_stream = (native.flags & EV_EOF) != 0;
  return event;
}

}  // namespace

struct EventQueue::State {
  struct Change {
    int descriptor;
    Interest interest;
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
             static_cast<unsigned short>(EV_ADD | (read ? EV_CLEAR : EV_ONESHOT)), 0, 0, nullptr);
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
  state->queue.reset(kqueuex(KQUEUE_CLOEXEC));
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

Status EventQueue::queue_change(int descriptor, Interest interest) noexcept {
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
  s.changes[s.change_count++] = {descriptor, interest};
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
    s.ready.resize(events.size() - stored);
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
    events[stored++] = translate(native);
  }
  return stored;
}

}  // namespace tessvane::sys
