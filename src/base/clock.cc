#include "base/clock.h"

#include <time.h>

namespace tessvane {

std::int64_t wall_clock_ns() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace tessvane
