#pragma once
// The nameserver up/down marks that the health monitor thread writes and
// every worker's resolver reads. Each flag is one byte read and written whole
// with relaxed ordering: a reader may act on a mark one probe cycle old, and
// nothing else is ordered by them. The server count is fixed before the
// record is published to other threads and never changes afterwards.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tessvane {

inline constexpr std::size_t kMaxMonitoredServers = 8;

class HealthMarks {
 public:
  // Every server below the count starts up, the slots beyond it down.
  explicit HealthMarks(std::size_t server_count) noexcept
      : server_count_(std::min(server_count, kMaxMonitoredServers)) {
    for (std::size_t i = 0; i < kMaxMonitoredServers; ++i) {
      up_[i].store(i < server_count_ ? 1 : 0, std::memory_order_relaxed);
    }
  }
  HealthMarks(const HealthMarks&) = delete;
  HealthMarks& operator=(const HealthMarks&) = delete;

  std::size_t server_count() const noexcept { return server_count_; }

  // False for an index at or beyond the server count.
  bool is_up(std::size_t index) const noexcept {
    return index < server_count_ && up_[index].load(std::memory_order_relaxed) != 0;
  }
  // Ignored for an index at or beyond the server count.
  void set_up(std::size_t index, bool up) noexcept {
    if (index < server_count_) up_[index].store(up ? 1 : 0, std::memory_order_relaxed);
  }

 private:
  std::size_t server_count_;
  std::array<std::atomic<std::uint8_t>, kMaxMonitoredServers> up_;
};

}  // namespace tessvane
