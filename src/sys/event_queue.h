#pragma once
// The platform event queue (kqueue on FreeBSD, epoll on Linux; CMake picks
// the backend file). Two kinds of interest, with kqueue's meaning:
//   ReadEdge  - edge-triggered read interest (EVFILT_READ, EV_ADD | EV_CLEAR):
//               an event is reported when the descriptor becomes readable,
//               including when it already is at registration; the owner reads
//               until it would block.
//   WriteOnce - one-shot write interest (EVFILT_WRITE, EV_ADD | EV_ONESHOT):
//               one writable event, then the interest is gone.
// The two interests of one descriptor are independent. Changes are batched
// and submitted with the next wait. Registrations are removed by closing the
// descriptor; forget() must be called just before that.
//
// One queue belongs to one thread; nothing in it is shared. A descriptor may
// be registered in several queues, as a listening socket shared by every
// worker is: each queue keeps its own registration and reports it on its
// own, so a new connection wakes every worker and the first to accept takes
// it (how FreeBSD differs: platform_freebsd.cc).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/error_code.h"

namespace tessvane::sys {

inline constexpr std::size_t kMaxPendingChanges = 128;

enum class Interest : unsigned char { ReadEdge, WriteOnce };

// A registration's tag comes back with each of its events: what the owner
// knew the descriptor as when it registered (0 when it needs nothing), so
// that an event of an earlier holder of the same descriptor number can be
// told from one of the current holder.
using Tag = std::uint64_t;

struct Event {
  int descriptor = -1;
  Tag tag = 0;
  bool readable = false;
  bool writable = false;
  // The peer closed its end, or the descriptor has a pending socket error
  // (kqueue EV_EOF); reported with the read or write side it concerns.
  bool end_of_stream = false;
  // A queued change for this descriptor failed (kqueue EV_ERROR); the event
  // carries no readiness.
  bool error = false;
};

class EventQueue {
 public:
  // Errors: ProcessFdQuotaExceeded, SystemFdQuotaExceeded, SystemResources,
  // OutOfMemory, Unexpected.
  static Result<EventQueue> create() noexcept;

  EventQueue(EventQueue&&) noexcept;
  EventQueue& operator=(EventQueue&&) noexcept;
  ~EventQueue();

  // Appends one change to the batch. When kMaxPendingChanges are already
  // pending they are submitted first, at once and without waiting; readiness
  // events that this submission returns are kept and handed out by
  // take_carried() or the next wait(). An error is that submission's
  // (the batch is emptied anyway); the new change is queued regardless.
  // All interests of one descriptor are to carry the same tag (epoll keeps
  // one per descriptor: the latest change's).
  Status queue_change(int descriptor, Interest interest, Tag tag = 0) noexcept;

  // Drops the pending changes and any kept events of a descriptor that is
  // about to be closed, and forgets its registrations.
  void forget(int descriptor) noexcept;

  // Submits the batch (emptied whether or not the call succeeds) and waits
  // for up to events.size() events: kept events first (then without
  // blocking), then the kernel's. When kept events alone fill events, the
  // batch stays pending for the next call. Every change of the batch is
  // applied even when more are refused than events can hold: the refusals
  // that do not fit are kept for take_carried(). No timeout waits without a
  // limit. A signal interruption is retried. Returns the number stored.
  // Errors: AccessDenied, EventNotFound, SystemResources, ProcessNotFound,
  // InvalidArgument (a bad queue or event list), Unexpected.
  Result<std::size_t> wait(std::span<Event> events, std::optional<int> timeout_ms) noexcept;

  // Moves up to events.size() kept events into events; returns how many.
  std::size_t take_carried(std::span<Event> events) noexcept;

  int descriptor() const noexcept;

 private:
  struct State;
  explicit EventQueue(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace tessvane::sys
