#pragma once
// The deadlines of one thread's event loop, in milliseconds of the monotonic
// clock (a step of the wall clock neither stretches nor cuts a time-out).
// The loop asks for the nearest deadline to bound its wait, then fires what
// is due. Handlers are borrowed: whoever adds a timer cancels it before the
// handler goes away. One queue belongs to one thread.

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace tessvane {

// Milliseconds of CLOCK_MONOTONIC; 0 when it cannot be read.
std::int64_t monotonic_ms() noexcept;

class TimerHandler {
 public:
  // Called once, when the deadline has passed; the timer is gone by then.
  virtual void on_timer() noexcept = 0;

 protected:
  ~TimerHandler() = default;
};

// Names one added timer; a default one names none.
struct TimerId {
  std::int64_t deadline_ms = 0;
  std::uint64_t sequence = 0;
  bool valid() const noexcept { return sequence != 0; }
};

class TimerQueue {
 public:
  // Throws std::bad_alloc when the entry cannot be made.
  TimerId add(std::int64_t deadline_ms, TimerHandler& handler);
  // Removes the timer if it has not fired; an invalid or fired id does nothing.
  void cancel(TimerId id) noexcept;
  std::optional<std::int64_t> next_deadline() const noexcept;
  // Milliseconds until the nearest deadline from now_ms (0 when it has
  // passed), at most cap_ms when one is given; nullopt: no limit.
  std::optional<int> wait_ms(std::int64_t now_ms, std::optional<int> cap_ms) const noexcept;
  // Fires, in deadline order, every timer due at now_ms that existed when the
  // call began; handlers may add and cancel timers meanwhile.
  void fire_due(std::int64_t now_ms) noexcept;
  std::size_t size() const noexcept { return timers_.size(); }

 private:
  using Key = std::pair<std::int64_t, std::uint64_t>;
  std::map<Key, TimerHandler*> timers_;
  std::uint64_t next_sequence_ = 1;
};

}  // namespace tessvane
