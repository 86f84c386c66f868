#pragma once
// Query IDs an off-path forger cannot predict (RFC 5452 section 9.2): every
// ID is drawn from the kernel's random source. An ID equal to one of the last
// kRecentQueryIds handed out is drawn again, so a late reply to an earlier
// query can never carry the ID of the one now waiting. Belongs to the thread
// of its resolver.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/error_code.h"

namespace tessvane {

inline constexpr std::size_t kRecentQueryIds = 64;

class QueryIdSource {
 public:
  // The next ID; the platform's error when its random source fails.
  Result<std::uint16_t> next() noexcept;

 private:
  static constexpr std::size_t kBatch = 32;  // IDs fetched per system call

  Result<std::uint16_t> draw() noexcept;
  bool recently_used(std::uint16_t id) const noexcept;

  std::array<std::uint16_t, kBatch> batch_{};
  std::size_t batch_used_ = kBatch;  // nothing fetched yet
  std::array<std::uint16_t, kRecentQueryIds> recent_{};
  std::size_t recent_count_ = 0;
  std::size_t recent_next_ = 0;  // ring position of the oldest once full
};

}  // namespace tessvane
