#include "dns/answer_cache.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/text.h"
#include "log/logger.h"

namespace tessvane {
namespace {

constexpr std::size_t kInitialOrderCapacity = 16;

ErrorCode negative_error(NegativeKind kind) noexcept {
  switch (kind) {
    case NegativeKind::NameError: return ErrorCode::DnsNameError;
    case NegativeKind::ServerFailure: return ErrorCode::DnsServerFailure;
    case NegativeKind::Timeout: return ErrorCode::DnsTimeout;
  }
  return ErrorCode::Unexpected;
}

std::uint32_t positive_lifetime(const std::vector<ResourceRecord>& records) noexcept {
  std::uint32_t smallest = records.front().ttl;
  for (const auto& record : records) smallest = std::min(smallest, record.ttl);
  return std::clamp(smallest, kMinPositiveLifetime, kMaxPositiveLifetime);
}

void log_debug(std::string_view what, std::string_view name, std::string_view suffix = {}) {
  if (log_enabled(Severity::Debug))
    log_message(Severity::Debug, cat("dns: cache ", what, " ", name, suffix));
}

}  // namespace

std::string_view negative_kind_name(NegativeKind kind) noexcept {
  switch (kind) {
    case NegativeKind::NameError: return "name_error";
    case NegativeKind::ServerFailure: return "server_failure";
    case NegativeKind::Timeout: return "timeout";
  }
  return "unknown";
}

std::string cache_key(std::string_view name, std::uint8_t type) {
  std::string key = cat(name, ':', static_cast<unsigned>(type));
  for (std::size_t i = 0; i < name.size(); ++i) key[i] = ascii_lower(key[i]);
  return key;
}

AnswerCache::AnswerCache(std::uint32_t limit, std::uint32_t negative_ttl, Clock clock)
    : limit_(limit == 0 ? kDefaultCacheSize : limit),
      negative_ttl_(negative_ttl == 0 ? kDefaultNegativeTtl : negative_ttl),
      clock_(std::move(clock)) {}

Result<std::optional<std::vector<ResourceRecord>>> AnswerCache::lookup(std::string_view name,
                                                                       std::uint8_t type) {
  try {
    const auto it = table_.find(cache_key(name, type));
    if (it != table_.end() && clock_() < it->second.expiry) {
      const Entry& entry = it->second;
      if (entry.negative) {
        log_debug("negative hit", name, cat(" kind=", negative_kind_name(entry.kind)));
        return fail(negative_error(entry.kind));
      }
      log_debug("hit", name);
      return std::optional<std::vector<ResourceRecord>>(entry.records);
    }
    log_debug("miss", name);
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

void AnswerCache::store_positive(std::string_view name, std::uint8_t type,
                                 const std::vector<ResourceRecord>& records) noexcept {
  if (records.empty()) return;
  try {
    std::string key = cache_key(name, type);
    Entry entry{records, 0, NegativeKind::NameError, false};
    const std::int64_t now = clock_();
    make_room(now);
    entry.expiry = now + positive_lifetime(records);
    insert(std::move(key), std::move(entry));
  } catch (const std::bad_alloc&) {
    // Not stored; the query's outcome does not depend on the cache.
  }
}

void AnswerCache::store_negative(std::string_view name, std::uint8_t type,
                                 NegativeKind kind) noexcept {
  try {
    std::string key = cache_key(name, type);
    const std::int64_t now = clock_();
    make_room(now);
    insert(std::move(key), Entry{{}, now + negative_ttl_, kind, true});
  } catch (const std::bad_alloc&) {
    // Not stored, as above.
  }
}

void AnswerCache::clear() noexcept {
  decltype(order_)().swap(order_);
  decltype(table_)().swap(table_);
}

// Runs before every insert, also one that will replace an existing key, so
// the table never grows past the limit.
void AnswerCache::make_room(std::int64_t now) noexcept {
  if (table_.size() < limit_) return;
  for (std::size_t i = 0; i < order_.size() && table_.size() >= limit_;) {
    if (now >= table_.find(*order_[i])->second.expiry) {
      remove(i);
    } else {
      ++i;
    }
  }
  if (table_.size() >= limit_ && !order_.empty()) remove(0);
}

void AnswerCache::remove(std::size_t order_index) noexcept {
  const auto it = table_.find(*order_[order_index]);
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(order_index));
  table_.erase(it);
}

// Either completes or leaves the cache unchanged.
void AnswerCache::insert(std::string key, Entry entry) {
  if (const auto it = table_.find(key); it != table_.end()) {
    it->second = std::move(entry);  // keeps its place in the order
    return;
  }
  if (order_.size() == order_.capacity()) {
    order_.reserve(std::max(kInitialOrderCapacity, 2 * order_.capacity()));
  }
  const auto [it, inserted] = table_.emplace(std::move(key), std::move(entry));
  order_.push_back(&it->first);  // capacity was reserved: cannot throw
}

}  // namespace tessvane
