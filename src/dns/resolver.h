#pragma once
// The stub resolver: one question at a time, answered from the cache or by
// the configured nameservers over UDP in rotation (retries + 1 attempts per
// server, a per-attempt time-out), with a TCP retry for truncated answers,
// servers that answer 2 (server failure) or 5 (refused) passed over while a
// later server may still answer, and positive and negative outcomes cached.
// A Resolver belongs to one thread; the only shared state it reads is the
// monitor's HealthMarks, which must outlive it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "dns/answer_cache.h"
#include "dns/health_marks.h"
#include "dns/message.h"
#include "dns/query_id.h"
#include "dns/record_list.h"
#include "dns/resource_record.h"
#include "net/address.h"

namespace tessvane {

// The answer-section records of the response that belong to the question
// (owned by the queried name or a name its CNAME chain leads to), whatever
// their type, in response order (possibly none). Immutable, and shared with
// the cache rather than copied out of it.
struct Answer {
  RecordList records;
};

struct ResolverConfig {
  std::vector<std::string> nameservers;  // texts, in order
  std::uint16_t port = 53;
  // Per-attempt receive time-out, also the TCP send time-out. 0 is taken as
  // 1 ms: a zero kernel time-out would mean waiting forever.
  std::uint32_t timeout_ms = 5000;
  std::uint8_t retries = 2;
  std::uint32_t cache_size = 1000;      // 0 gives 1000
  std::uint32_t negative_ttl = 60;      // 0 gives 60
  const HealthMarks* health = nullptr;  // absent without a monitor
};

// Which allocation a failed build could not make; it picks the message.
enum class ResolverBuildStep : std::uint8_t { ServerAddresses, NameserverList, NameserverCopy };

class Resolver {  // movable, not copyable; confined to one thread
 public:
  // InvalidNameserver for a text that is neither IPv4 nor IPv6; OutOfMemory,
  // with the step that failed in *failed_step when given.
  static Result<Resolver> build(const ResolverConfig& config,
                                ResolverBuildStep* failed_step = nullptr);

  Resolver(Resolver&&) noexcept = default;
  Resolver& operator=(Resolver&&) noexcept = default;
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // name: the caller's text, case kept, one trailing dot allowed; type: 1 A,
  // 12 PTR, 15 MX, 16 TXT, 28 AAAA (any 8-bit code is sent).
  // Errors: DnsNameError (code 3), DnsServerFailure (any other non-zero
  // code), DnsTimeout (no server answered), DnsNoHealthyServers (every
  // server marked down), NameTooLong / EmptyLabel / LabelTooLong /
  // TooManyLabels (the name cannot be asked), DnsTransient (a reply that
  // cannot be decoded), the errors of socket creation, of SO_RCVTIMEO and
  // of the random source, OutOfMemory.
  Result<Answer> query(std::string_view name, std::uint8_t type);

 private:
  Resolver(const ResolverConfig& config, std::vector<std::string> names,
           std::vector<SocketAddress> addresses);

  Result<Answer> run_query(std::string_view name, std::uint8_t type);
  Result<std::string> udp_pass(std::string_view query, std::uint16_t id);
  void tcp_retry(std::string_view name, std::string_view query, std::uint16_t id,
                 ParsedResponse& response);
  Result<Answer> conclude(std::string_view name, std::uint8_t type, ParsedResponse& response);
  std::unexpected<ErrorCode> report_failure(std::string_view name, std::uint8_t type,
                                            ErrorCode error, std::int64_t start_ns);
  bool skipped(std::size_t index) const noexcept;
  bool any_server_up() const noexcept;

  std::vector<std::string> names_;  // the nameserver texts, for log lines
  std::vector<SocketAddress> addresses_;
  std::uint32_t timeout_ms_;
  std::uint8_t retries_;
  AnswerCache cache_;
  std::size_t next_index_ = 0;  // the server asked first by the next query
  const HealthMarks* health_;
  QueryIdSource query_ids_;
};

// The fixed message for a failed build: "DNS resolver: invalid nameserver
// address" for InvalidNameserver, otherwise (OutOfMemory) "DNS resolver: failed to allocate server
// addresses", "... failed to allocate nameserver list" or "... failed to copy
// nameserver" by the step that failed.
std::string_view resolver_build_failure_message(
    ErrorCode error, ResolverBuildStep step = ResolverBuildStep::ServerAddresses);

// The daemon's per-thread resolver: unbuilt until the first get(), which
// builds it from the start-up values; discard() releases everything (cache,
// addresses, names) and the next get() builds afresh (empty cache, next
// index 0). A failed build is tried again by the next
// get().
class ThreadResolver {
 public:
  explicit ThreadResolver(ResolverConfig config);

  // The built resolver, valid until discard() or destruction; the errors of
  // Resolver::build.
  Result<Resolver*> get();
  void discard() noexcept;
  bool built() const noexcept { return resolver_.has_value(); }
  // The step of the last failed build, for resolver_build_failure_message.
  ResolverBuildStep failed_step() const noexcept { return failed_step_; }

 private:
  ResolverConfig config_;
  std::optional<Resolver> resolver_;
  ResolverBuildStep failed_step_ = ResolverBuildStep::ServerAddresses;
};

}  // namespace tessvane
