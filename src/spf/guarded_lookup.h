#pragma once
// The only ways the SPF engine reaches DNS (RFC 7208 4.6.4): counted lookups
// (the SPF record, and the a, mx, exists and ptr queries) take part in the
// void-lookup limit, uncounted ones (addresses of MX exchanges and PTR names)
// do not; both honour the time budget. Name errors (no such name, or a name
// that cannot be asked) and empty answers are void; every other resolver
// error is transient. Also the DNS-querying term count and the validated
// names of the client (RFC 7208 5.5), used by ptr and the p macro.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "base/task.h"
#include "dns/resolver.h"
#include "net/address.h"
#include "spf/evaluation.h"

namespace tessvane {

inline constexpr std::uint64_t kMaxDnsTerms = 10;
inline constexpr std::size_t kMaxPtrNames = 10;

// A for an IPv4 client, AAAA for an IPv6 one.
inline std::uint8_t address_query_type(const SpfRequest& request) noexcept {
  return static_cast<std::uint8_t>(request.client_is_ipv6 ? kTypeAaaa : kTypeA);
}

// The client address as the mechanisms compare it: parsed each time it is
// needed, by the family the request states; nullopt when it does not parse.
struct ClientAddress {
  bool ipv6 = false;
  Ip4Addr v4;
  Ip6Addr v6;

  std::uint8_t address_type() const noexcept {
    return static_cast<std::uint8_t>(ipv6 ? kTypeAaaa : kTypeA);
  }
  // True when an A or AAAA record's data starts with the address bytes.
  bool equals_record(const ResourceRecord& record) const noexcept;
  // True when such a record agrees with the address on the first length bits.
  bool matches_record(const ResourceRecord& record, std::uint8_t length) const noexcept;
};
std::optional<ClientAddress> client_address(const SpfRequest& request) noexcept;

// True when the wall clock has reached the deadline.
bool budget_expired(const EvalLimits& limits) noexcept;

// Before include, a, mx, ptr, exists and redirect. Errors: Timeout,
// TermLimitExceeded (the 11th term of the whole evaluation).
Status count_dns_term(EvalContext& context);

// The answer (possibly records of other types), or an empty one for a void
// lookup. Errors: Timeout, DnsTransient, VoidLookupLimitExceeded. The
// lookups wait on the resolver's loop; name is borrowed until they end.
Task<Result<Answer>> counted_lookup(EvalContext& context, std::string_view name,
                                    std::uint8_t type);
// The same without void counting. Errors: Timeout, DnsTransient.
Task<Result<Answer>> uncounted_lookup(EvalContext& context, std::string_view name,
                                      std::uint8_t type);

// The PTR names of the client (at most the first 10) whose A or AAAA records
// hold the client address, in answer order; none for an unparseable client.
// Errors: those of the lookups.
Task<Result<std::vector<std::string>>> validated_client_names(EvalContext& context);

}  // namespace tessvane
