#pragma once
// What code that waits on descriptors and deadlines needs from the event loop
// of its thread (the worker's, or the small LocalLoop of a tool): routing of
// a descriptor's events to a handler, and the loop's timers. Nothing here
// waits; the loop is the only place that does.
//
// The rule that makes stale events harmless: once a descriptor is unwatched,
// no event for it reaches any handler until the next wait, not even events
// that the current pass already took from the kernel. A socket closed and a
// new one opened under the same number within one pass therefore never sees
// its predecessor's readiness; its own registration reports afresh (the
// interests report a descriptor that is ready when they are installed).

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "base/error_code.h"
#include "base/task.h"
#include "base/timer_queue.h"
#include "sys/event_queue.h"

namespace tessvane::sys {

class IoHandler {
 public:
  // Readiness (or a failed change) of the watched descriptor. The handler may
  // unwatch and close it, and may resume coroutines that do so.
  virtual void on_io(const Event& event) noexcept = 0;

 protected:
  ~IoHandler() = default;
};

class IoLoop {
 public:
  virtual ~IoLoop() = default;
  // Routes the descriptor's events to handler and queues the interest; both
  // interests of one descriptor go to the same handler. Error: OutOfMemory
  // (nothing is registered then).
  virtual Status watch(int descriptor, Interest interest, IoHandler& handler) noexcept = 0;
  // Before the descriptor is closed: forgets its handler, pending changes and
  // kept events, and drops its events for the rest of the current pass.
  virtual void unwatch(int descriptor) noexcept = 0;
  virtual TimerQueue& timers() noexcept = 0;
};

// The descriptor-to-handler table of a loop, with the rule above.
class EventRouter {
 public:
  // Throws std::bad_alloc.
  void add(int descriptor, IoHandler& handler);
  void remove(int descriptor) noexcept;
  // Marks a descriptor closed in this pass without it having a handler here.
  void retire(int descriptor) noexcept;
  // Called before the events of a new wait are handled.
  void begin_pass() noexcept { retired_.clear(); }
  bool retired(int descriptor) const noexcept { return retired_.contains(descriptor); }
  // The handler of an event from the wait, or null (unknown or retired).
  IoHandler* route(const Event& event) const noexcept;
  // The handler of a kept event handed out later in the pass: forget() has
  // already dropped those of closed descriptors, so the rest are current.
  IoHandler* route_carried(const Event& event) const noexcept;
  bool empty() const noexcept { return handlers_.empty(); }

 private:
  std::unordered_map<int, IoHandler*> handlers_;
  // Descriptors closed in this pass.
  std::unordered_set<int> retired_;
};

// A minimal loop over its own event queue, for a program (or a test) that
// drives asynchronous work to its end on one thread without a worker.
class LocalLoop final : public IoLoop {
 public:
  // Errors: those of EventQueue::create, OutOfMemory.
  static Result<std::unique_ptr<LocalLoop>> create() noexcept;
  explicit LocalLoop(EventQueue queue) noexcept : queue_(std::move(queue)) {}

  Status watch(int descriptor, Interest interest, IoHandler& handler) noexcept override;
  void unwatch(int descriptor) noexcept override;
  TimerQueue& timers() noexcept override { return timers_; }

  // One wait, bounded by the nearest timer, then its events and the due
  // timers. Error: that of the wait (events are not handled then).
  Status run_once();

 private:
  EventQueue queue_;
  EventRouter router_;
  TimerQueue timers_;
};

// Starts a root task and runs the loop until the task has ended. Error: that
// of a wait (the task is left suspended; destroying it cancels it).
template <typename T>
Status run_until_done(Task<T>& task, LocalLoop& loop) {
  task.start(nullptr);
  while (!task.done()) {
    if (Status run = loop.run_once(); !run) return run;
  }
  return {};
}

}  // namespace tessvane::sys
