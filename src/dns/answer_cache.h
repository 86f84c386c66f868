#pragma once
// The resolver's bounded table from question to outcome. Positive entries
// hold the answer records of a response with code 0 and at least one record,
// live for the smallest record TTL kept within 30..86400 seconds; negative
// entries (no such name, failing servers, no answer) live for the negative
// TTL. The table is bounded twice: by its entry limit and by a byte budget of
// kCacheBytesPerEntry per allowed entry, and an answer that alone would take
// more than 1/kLargestEntryShare of that budget is not kept at all. To make
// room, entries already expired go first (the one inserted first among
// them), then the entry inserted first; re-inserting a question keeps its
// place in that order. Each insert costs O(log n) whatever the size.
// Positive entries share their records with the answers handed out, which
// are never copied. Confined to the thread of its resolver: no locks.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/error_code.h"
#include "dns/record_list.h"
#include "sys/platform.h"

namespace tessvane {

inline constexpr std::uint32_t kDefaultCacheSize = 1000;
inline constexpr std::uint32_t kDefaultNegativeTtl = 60;  // seconds
inline constexpr std::uint32_t kMinPositiveLifetime = 30;
inline constexpr std::uint32_t kMaxPositiveLifetime = 86400;
// Bytes of budget per allowed entry: more than a full 1232-byte UDP answer
// decodes to, so ordinary answers meet the entry limit first.
inline constexpr std::uint64_t kCacheBytesPerEntry = 4096;
// No single answer may hold more than this fraction of the budget.
inline constexpr std::uint64_t kLargestEntryShare = 8;
// What an entry costs beyond its key, names and data: the table, order and
// expiry nodes and the shared list's control block.
inline constexpr std::size_t kEntryOverheadBytes = 256;

enum class NegativeKind : std::uint8_t { NameError, ServerFailure, Timeout };

// "name_error", "server_failure", "timeout".
std::string_view negative_kind_name(NegativeKind kind) noexcept;

class AnswerCache {
 public:
  // Wall-clock seconds; tests pass their own to move time. The default is
  // read at every lookup, so it is the coarse clock: an entry may outlive its
  // TTL by a scheduler tick.
  using Clock = std::function<std::int64_t()>;

  // A limit or negative TTL of 0 takes the default (1000 entries, 60 s).
  explicit AnswerCache(std::uint32_t limit = 0, std::uint32_t negative_ttl = 0,
                       Clock clock = sys::coarse_wall_clock_s);

  // A miss (nullopt), the records of a live positive entry (shared, not
  // copied), or the error of a live negative entry (DnsNameError,
  // DnsServerFailure, DnsTimeout); OutOfMemory when the key cannot be made.
  // Logs the debug lines "dns: cache hit {name}", "dns: cache negative hit
  // {name} kind={kind}" or "dns: cache miss {name}". An expired entry is a
  // miss and stays in place.
  Result<std::optional<RecordList>> lookup(std::string_view name, std::uint8_t type);

  // Keeps records (at least one) unless they would cost more than
  // max_entry_bytes(). Lack of memory only means nothing is stored; the cache
  // is then as it was after making room.
  void store_positive(std::string_view name, std::uint8_t type, const RecordList& records) noexcept;
  void store_negative(std::string_view name, std::uint8_t type, NegativeKind kind) noexcept;

  void clear() noexcept;

  std::size_t size() const noexcept { return table_.size(); }
  std::uint32_t limit() const noexcept { return limit_; }
  std::uint32_t negative_ttl() const noexcept { return negative_ttl_; }
  // What the entries held cost, by entry_bytes; never above byte_budget().
  std::uint64_t bytes() const noexcept { return bytes_; }
  std::uint64_t byte_budget() const noexcept { return byte_budget_; }
  std::uint64_t max_entry_bytes() const noexcept { return byte_budget_ / kLargestEntryShare; }

 private:
  struct Entry {
    RecordList records;          // empty for negative entries
    std::int64_t expiry = 0;     // wall-clock second at which it stops being live
    std::uint64_t sequence = 0;  // insertion number, its place in the order
    std::uint64_t bytes = 0;     // entry_bytes
    NegativeKind kind = NegativeKind::NameError;
    bool negative = false;
    bool seen_expired = false;  // indexed in expired_ rather than live_
  };
  using Table = std::unordered_map<std::string, Entry>;
  // (expiry, sequence) in live_; (0, sequence) in expired_, so both are one
  // node type and an entry moves between them without allocating.
  using Index = std::set<std::pair<std::int64_t, std::uint64_t>>;

  void make_room(std::int64_t now, std::uint64_t incoming_bytes) noexcept;
  void note_expired(std::int64_t now) noexcept;
  void remove(std::uint64_t sequence) noexcept;
  void insert(std::string key, Entry entry);

  std::uint32_t limit_;
  std::uint32_t negative_ttl_;
  std::uint64_t byte_budget_;
  Clock clock_;
  Table table_;
  // Insertion number to table node, oldest first. Nodes of an unordered_map
  // stay put while they exist, whatever rehashing does.
  std::map<std::uint64_t, Table::value_type*> order_;
  Index live_;     // entries not known to have expired, soonest expiry first
  Index expired_;  // entries seen expired, inserted first first
  std::uint64_t next_sequence_ = 0;
  std::uint64_t bytes_ = 0;
};

// Key of a question: the name with A..Z lowered and nothing else changed (a
// trailing dot stays), ":", the type in decimal.
std::string cache_key(std::string_view name, std::uint8_t type);

// What an entry under key with these records costs: the bytes of the key and
// of every owner name and data string, sizeof(ResourceRecord) per record and
// kEntryOverheadBytes.
std::uint64_t entry_bytes(std::string_view key, const RecordList& records) noexcept;

}  // namespace tessvane
