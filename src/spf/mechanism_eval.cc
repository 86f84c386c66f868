#include "spf/mechanism_eval.h"

#include <algorithm>
#include <string>

#include "base/text.h"
#include "spf/check_host.h"
#include "spf/guarded_lookup.h"
#include "spf/macro.h"

namespace tessvane {
namespace {

constexpr std::uint8_t kFullIp4Length = 32;
constexpr std::uint8_t kFullIp6Length = 128;

// Counts a DNS-querying term, then gives the name it looks up: its expanded
// domain-spec, or the current domain (a, mx and ptr without one).
Result<std::string> begin_term(EvalContext& context, std::string_view domain,
                               const SpfMechanism& mechanism) {
  if (auto counted = count_dns_term(context); !counted) return fail(counted.error());
  if (!mechanism.value) return std::string(domain);
  return expand_macros(context, domain, *mechanism.value);
}

std::uint8_t prefix_length(const ClientAddress& client, const SpfMechanism& mechanism) {
  return client.ipv6 ? mechanism.ip6_length.value_or(kFullIp6Length)
                     : mechanism.ip4_length.value_or(kFullIp4Length);
}

bool any_address_matches(const Answer& answer, const ClientAddress& client, std::uint8_t length) {
  return std::any_of(answer.records.begin(), answer.records.end(),
                     [&](const ResourceRecord& r) { return client.matches_record(r, length); });
}

Result<bool> include_matches(EvalContext& context, std::string_view domain,
                             const SpfMechanism& mechanism) {
  auto target = begin_term(context, domain, mechanism);
  if (!target) return fail(target.error());
  const SpfOutcome inner = check_host(context, *target, true);
  if (inner.error) return fail(*inner.error);
  return inner.result == SpfResult::Pass;
}

Result<bool> a_matches(EvalContext& context, std::string_view domain,
                       const SpfMechanism& mechanism) {
  auto target = begin_term(context, domain, mechanism);
  if (!target) return fail(target.error());
  const auto client = client_address(context.request);
  auto answer = counted_lookup(context, *target, address_query_type(context.request));
  if (!answer) return fail(answer.error());
  return client && any_address_matches(*answer, *client, prefix_length(*client, mechanism));
}

Result<bool> mx_matches(EvalContext& context, std::string_view domain,
                        const SpfMechanism& mechanism) {
  auto target = begin_term(context, domain, mechanism);
  if (!target) return fail(target.error());
  auto exchanges = counted_lookup(context, *target, kTypeMx);
  if (!exchanges) return fail(exchanges.error());
  const auto client = client_address(context.request);
  const std::uint8_t type = address_query_type(context.request);
  std::size_t looked_up = 0;
  for (const ResourceRecord& exchange : exchanges->records) {
    if (exchange.rr_type != kTypeMx || exchange.data.empty()) continue;
    // The limit bites only when an 11th exchange would be looked up.
    if (looked_up++ == kMaxMxExchanges) return fail(ErrorCode::MechanismRecordLimitExceeded);
    auto addresses = uncounted_lookup(context, exchange.data, type);
    if (!addresses) return fail(addresses.error());
    if (client && any_address_matches(*addresses, *client, prefix_length(*client, mechanism))) {
      return true;
    }
  }
  return false;
}

bool is_name_or_subdomain(std::string_view name, std::string_view target) {
  if (iequals(name, target)) return true;
  return name.size() > target.size() + 1 && name[name.size() - target.size() - 1] == '.' &&
         iends_with(name, target);
}

Result<bool> ptr_matches(EvalContext& context, std::string_view domain,
                         const SpfMechanism& mechanism) {
  auto target = begin_term(context, domain, mechanism);
  if (!target) return fail(target.error());
  auto names = validated_client_names(context);
  if (!names) return fail(names.error());
  return std::any_of(names->begin(), names->end(),
                     [&](const std::string& name) { return is_name_or_subdomain(name, *target); });
}

Result<bool> exists_matches(EvalContext& context, std::string_view domain,
                            const SpfMechanism& mechanism) {
  auto target = begin_term(context, domain, mechanism);
  if (!target) return fail(target.error());
  // RFC 7208 5.7: always an A query, whatever the client's family.
  auto answer = counted_lookup(context, *target, kTypeA);
  if (!answer) return fail(answer.error());
  return !answer->records.empty();
}

bool ip4_matches(const SpfRequest& request, const SpfMechanism& mechanism) {
  if (request.client_is_ipv6) return false;
  const auto client = client_address(request);
  const auto network = parse_ip4(mechanism.value.value_or(""));
  if (!client || !network) return false;
  return ip4_prefix_match(client->v4, *network, mechanism.ip4_length.value_or(kFullIp4Length));
}

bool ip6_matches(const SpfRequest& request, const SpfMechanism& mechanism) {
  if (!request.client_is_ipv6) return false;
  const auto client = client_address(request);
  const auto network = parse_ip6(mechanism.value.value_or(""));
  if (!client || !network) return false;
  return ip6_prefix_match(client->v6, *network, mechanism.ip6_length.value_or(kFullIp6Length));
}

}  // namespace

Result<bool> mechanism_matches(EvalContext& context, std::string_view domain,
                               const SpfMechanism& mechanism) {
  switch (mechanism.kind) {
    case MechanismKind::All: return true;
    case MechanismKind::Include: return include_matches(context, domain, mechanism);
    case MechanismKind::A: return a_matches(context, domain, mechanism);
    case MechanismKind::Mx: return mx_matches(context, domain, mechanism);
    case MechanismKind::Ptr: return ptr_matches(context, domain, mechanism);
    case MechanismKind::Ip4: return ip4_matches(context.request, mechanism);
    case MechanismKind::Ip6: return ip6_matches(context.request, mechanism);
    case MechanismKind::Exists: return exists_matches(context, domain, mechanism);
  }
  return false;
}

}  // namespace tessvane
