#include "base/timer_queue.h"

#include <time.h>

#include <algorithm>
#include <limits>

namespace tessvane {

std::int64_t monotonic_ms() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

TimerId TimerQueue::add(std::int64_t deadline_ms, TimerHandler& handler) {
  const TimerId id{deadline_ms, next_sequence_};
  timers_.emplace(Key{deadline_ms, id.sequence}, &handler);
  ++next_sequence_;
  return id;
}

void TimerQueue::cancel(TimerId id) noexcept {
  if (id.valid()) timers_.erase(Key{id.deadline_ms, id.sequence});
}

std::optional<std::int64_t> TimerQueue::next_deadline() const noexcept {
  if (timers_.empty()) return std::nullopt;
  return timers_.begin()->first.first;
}

std::optional<int> TimerQueue::wait_ms(std::int64_t now_ms,
                                       std::optional<int> cap_ms) const noexcept {
  const std::optional<std::int64_t> deadline = next_deadline();
  if (!deadline) return cap_ms;
  const std::int64_t cap = cap_ms ? *cap_ms : std::numeric_limits<int>::max();
  return static_cast<int>(std::clamp<std::int64_t>(*deadline - now_ms, 0, cap));
}

void TimerQueue::fire_due(std::int64_t now_ms) noexcept {
  // Timers added by the handlers below get later sequence numbers and wait
  // for the next call, so a handler that re-arms at once cannot spin here.
  const std::uint64_t limit = next_sequence_;
  for (auto it = timers_.begin(); it != timers_.end() && it->first.first <= now_ms;) {
    if (it->first.second >= limit) {
      ++it;
      continue;
    }
    TimerHandler* handler = it->second;
    timers_.erase(it);
    handler->on_timer();
    // The handler may have changed the map: start again from the front.
    it = timers_.begin();
  }
}

}  // namespace tessvane
