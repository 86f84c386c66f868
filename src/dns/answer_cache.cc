#include "dns/answer_cache.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/text.h"
#include "log/logger.h"

namespace tessvane {
namespace {

ErrorCode negative_error(NegativeKind kind) noexcept {
  switch (kind) {
    case NegativeKind::NameError: return ErrorCode::DnsNameError;
    case NegativeKind::ServerFailure: return ErrorCode::DnsServerFailure;
    case NegativeKind::Timeout: return ErrorCode::DnsTimeout;
  }
  return ErrorCode::Unexpected;
}

std::uint32_t positive_lifetime(const RecordList& records) noexcept {
  std::uint32_t smallest = kMaxPositiveLifetime;
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

std::uint64_t entry_bytes(std::string_view key, const RecordList& records) noexcept {
  std::uint64_t bytes = kEntryOverheadBytes + key.size();
  for (const auto& record : records) {
    bytes += sizeof(ResourceRecord) + record.name.size() + record.data.size();
  }
  return bytes;
}

AnswerCache::AnswerCache(std::uint32_t limit, std::uint32_t negative_ttl, Clock clock)
    : limit_(limit == 0 ? kDefaultCacheSize : limit),
      negative_ttl_(negative_ttl == 0 ? kDefaultNegativeTtl : negative_ttl),
      byte_budget_(limit_ * kCacheBytesPerEntry),
      clock_(std::move(clock)) {}

Result<std::optional<RecordList>> AnswerCache::lookup(std::string_view name, std::uint8_t type) {
  try {
    const auto it = table_.find(cache_key(name, type));
    if (it != table_.end() && clock_() < it->second.expiry) {
      const Entry& entry = it->second;
      if (entry.negative) {
        log_debug("negative hit", name, cat(" kind=", negative_kind_name(entry.kind)));
        return fail(negative_error(entry.kind));
      }
      log_debug("hit", name);
      return std::optional<RecordList>(entry.records);
    }
    log_debug("miss", name);
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

void AnswerCache::store_positive(std::string_view name, std::uint8_t type,
                                 const RecordList& records) noexcept {
  if (records.empty()) return;
  try {
    std::string key = cache_key(name, type);
    const std::uint64_t bytes = entry_bytes(key, records);
    // Kept, it would push out a large part of the cache for one question.
    if (bytes > max_entry_bytes()) return;
    const std::int64_t now = clock_();
    make_room(now, bytes);
    Entry entry{records, now + positive_lifetime(records), 0, bytes};
    insert(std::move(key), std::move(entry));
  } catch (const std::bad_alloc&) {
    // Not stored; the query's outcome does not depend on the cache.
  }
}

void AnswerCache::store_negative(std::string_view name, std::uint8_t type,
                                 NegativeKind kind) noexcept {
  try {
    std::string key = cache_key(name, type);
    const std::uint64_t bytes = entry_bytes(key, {});
    const std::int64_t now = clock_();
    make_room(now, bytes);
    insert(std::move(key), Entry{{}, now + negative_ttl_, 0, bytes, kind, true});
  } catch (const std::bad_alloc&) {
    // Not stored, as above.
  }
}

void AnswerCache::clear() noexcept {
  decltype(order_)().swap(order_);
  decltype(live_)().swap(live_);
  decltype(expired_)().swap(expired_);
  decltype(table_)().swap(table_);
  bytes_ = 0;
}

// Runs before every insert, also one that will replace an existing key, so
// the table never grows past its limit or its budget.
void AnswerCache::make_room(std::int64_t now, std::uint64_t incoming_bytes) noexcept {
  note_expired(now);
  while (!table_.empty() && (table_.size() >= limit_ || bytes_ + incoming_bytes > byte_budget_)) {
    remove(expired_.empty() ? order_.begin()->first : expired_.begin()->second);
  }
}

// Moves every entry whose expiry has come from live_ to expired_. Each entry
// moves once per insertion, so this is O(log n) per insert on average. An
// entry stays there should the wall clock step back: it was dead already.
void AnswerCache::note_expired(std::int64_t now) noexcept {
  while (!live_.empty() && live_.begin()->first <= now) {
    auto node = live_.extract(live_.begin());
    const std::uint64_t sequence = node.value().second;
    node.value().first = 0;
    expired_.insert(std::move(node));
    order_.find(sequence)->second->second.seen_expired = true;
  }
}

void AnswerCache::remove(std::uint64_t sequence) noexcept {
  const auto position = order_.find(sequence);
  const auto it = table_.find(position->second->first);
  const Entry& entry = it->second;
  if (entry.seen_expired) {
    expired_.erase({0, sequence});
  } else {
    live_.erase({entry.expiry, sequence});
  }
  bytes_ -= entry.bytes;
  order_.erase(position);
  table_.erase(it);
}

// Either completes or leaves the cache unchanged.
void AnswerCache::insert(std::string key, Entry entry) {
  if (const auto it = table_.find(key); it != table_.end()) {
    Entry& old = it->second;
    // The index node moves over to the new expiry: nothing to allocate.
    Index& from = old.seen_expired ? expired_ : live_;
    auto node = from.extract({old.seen_expired ? 0 : old.expiry, old.sequence});
    if (node) {  // always: every entry is in one of the two
      node.value().first = entry.expiry;
      live_.insert(std::move(node));
    }
    entry.sequence = old.sequence;  // keeps its place in the order
    bytes_ = bytes_ - old.bytes + entry.bytes;
    old = std::move(entry);
    return;
  }
  entry.sequence = next_sequence_;
  const std::int64_t expiry = entry.expiry;
  const std::uint64_t bytes = entry.bytes;
  const auto [it, inserted] = table_.emplace(std::move(key), std::move(entry));
  try {
    order_.emplace(next_sequence_, &*it);
    try {
      live_.emplace(expiry, next_sequence_);
    } catch (const std::bad_alloc&) {
      order_.erase(next_sequence_);
      throw;
    }
  } catch (const std::bad_alloc&) {
    table_.erase(it);
    throw;
  }
  ++next_sequence_;
  bytes_ += bytes;
}

}  // namespace tessvane
