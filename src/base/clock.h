#pragma once
// Wall-clock readings (CLOCK_REALTIME). Budgets, deadlines and rate limits use
// milliseconds, cache lifetimes seconds, elapsed-time fields nanoseconds.
// A clock that cannot be read counts as 0.

#include <cstdint>

namespace tessvane {

std::int64_t wall_clock_ns() noexcept;
inline std::int64_t wall_clock_ms() noexcept {
  return wall_clock_ns() / 1'000'000;
}
inline std::int64_t wall_clock_s() noexcept {
  return wall_clock_ns() / 1'000'000'000;
}

}  // namespace tessvane
