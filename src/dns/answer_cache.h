#pragma once
// The resolver's bounded table from question to outcome. Positive entries
// hold the answer records of a response with code 0 and at least one record,
// live for the smallest record TTL kept within 30..86400 seconds; negative
// entries (no such name, failing servers, no answer) live for the negative
// TTL. When full, the oldest expired entry goes first, else the entry
// inserted first; re-inserting a question keeps its place in that order.
// Confined to the thread of its resolver: no locks.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/error_code.h"
#include "dns/resource_record.h"

namespace tessvane {

inline constexpr std::uint32_t kDefaultCacheSize = 1000;
inline constexpr std::uint32_t kDefaultNegativeTtl = 60;  // seconds
inline constexpr std::uint32_t kMinPositiveLifetime = 30;
inline constexpr std::uint32_t kMaxPositiveLifetime = 86400;

enum class NegativeKind : std::uint8_t { NameError, ServerFailure, Timeout };

// "name_error", "server_failure", "timeout".
std::string_view negative_kind_name(NegativeKind kind) noexcept;

class AnswerCache {
 public:
  // Wall-clock seconds; tests pass their own to move time.
  using Clock = std::function<std::int64_t()>;

  // A limit or negative TTL of 0 takes the default (1000 entries, 60 s).
  explicit AnswerCache(std::uint32_t limit = 0, std::uint32_t negative_ttl = 0,
                       Clock clock = wall_clock_s);

  // A miss (nullopt), a copy of a live positive entry's records owned by the
  // caller, or the error of a live negative entry (DnsNameError,
  // DnsServerFailure, DnsTimeout); OutOfMemory when the key or the copy
  // cannot be made. Logs the debug lines "dns: cache hit {name}", "dns: cache
  // negative hit {name} kind={kind}" or "dns: cache miss {name}". An expired
  // entry is a miss and stays in place.
  Result<std::optional<std::vector<ResourceRecord>>> lookup(std::string_view name,
                                                            std::uint8_t type);

  // Copies records (at least one) in. Lack of memory only means nothing is
  // stored; the cache is then as it was after making room.
  void store_positive(std::string_view name, std::uint8_t type,
                      const std::vector<ResourceRecord>& records) noexcept;
  void store_negative(std::string_view name, std::uint8_t type, NegativeKind kind) noexcept;

  void clear() noexcept;

  std::size_t size() const noexcept { return table_.size(); }
  std::uint32_t limit() const noexcept { return limit_; }
  std::uint32_t negative_ttl() const noexcept { return negative_ttl_; }

 private:
  struct Entry {
    std::vector<ResourceRecord> records;  // empty for negative entries
    std::int64_t expiry = 0;              // wall-clock second at which it stops being live
    NegativeKind kind = NegativeKind::NameError;
    bool negative = false;
  };

  void make_room(std::int64_t now) noexcept;
  void remove(std::size_t order_index) noexcept;
  void insert(std::string key, Entry entry);

  std::uint32_t limit_;
  std::uint32_t negative_ttl_;
  Clock clock_;
  std::unordered_map<std::string, Entry> table_;
  // Keys in order of first insertion, oldest first. Each points at the key
  // held by its table node, which stays put while the node exists.
  std::vector<const std::string*> order_;
};

// Key of a question: the name with A..Z lowered and nothing else changed (a
// trailing dot stays), ":", the type in decimal.
std::string cache_key(std::string_view name, std::uint8_t type);

}  // namespace tessvane
