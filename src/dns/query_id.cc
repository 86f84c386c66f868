#include "dns/query_id.h"

#include <algorithm>
#include <span>

#include "sys/platform.h"

namespace tessvane {

Result<std::uint16_t> QueryIdSource::next() noexcept {
  // At most kRecentQueryIds of 65536 values are refused, so this ends after
  // a draw or two.
  for (;;) {
    const auto id = draw();
    if (!id) return id;
    if (recently_used(*id)) continue;
    recent_[recent_next_] = *id;
    recent_next_ = (recent_next_ + 1) % recent_.size();
    recent_count_ = std::min(recent_count_ + 1, recent_.size());
    return *id;
  }
}

Result<std::uint16_t> QueryIdSource::draw() noexcept {
  if (batch_used_ == batch_.size()) {
    if (auto s = sys::fill_random(std::as_writable_bytes(std::span(batch_))); !s) {
      return fail(s.error());
    }
    batch_used_ = 0;
  }
  return batch_[batch_used_++];
}

bool QueryIdSource::recently_used(std::uint16_t id) const noexcept {
  const auto used = std::span(recent_).first(recent_count_);
  return std::find(used.begin(), used.end(), id) != used.end();
}

}  // namespace tessvane
