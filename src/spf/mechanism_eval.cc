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
Task<Result<std::string>> begin_term(EvalContext& context, std::string_view domain,
                                     const SpfMechanism& mechanism) {
  if (auto counted = count_dns_term(context); !counted) co_return fail(counted.error());
  if (!mechanism.value) co_return std::string(domain);
  co_return co_await expand_macros(context, domain, *mechanism.value);
}

std::uint8_t prefix_length(const ClientAddress& client, const SpfMechanism& mechanism) {
  return client.ipv6 ? mechanism.ip6_length.value_or(kFullIp6Length)
                     : mechanism.ip4_length.value_or(kFullIp4Length);
}

bool any_address_matches(const Answer& answer, const ClientAddress& client, std::uint8_t length) {
  return std::any_of(answer.records.begin(), answer.records.end(),
                     [&](const ResourceRecord& r) { return client.matches_record(r, length); });
}

Task<Result<bool>> include_matches(EvalContext& context, std::string_view domain,
                                   const SpfMechanism& mechanism) {
  auto target = co_await begin_term(context, domain, mechanism);
  if (!target) co_return fail(target.error());
  const SpfOutcome inner = co_await check_host_async(context, *target, true);
  if (inner.error) co_return fail(*inner.error);
  co_return inner.result == SpfResult::Pass;
}

Task<Result<bool>> a_matches(EvalContext& context, std::string_view domain,
                             const SpfMechanism& mechanism) {
  auto target = co_await begin_term(context, domain, mechanism);
  if (!target) co_return fail(target.error());
  const auto client = client_address(context.request);
  auto answer = co_await counted_lookup(context, *target, address_query_type(context.request));
  if (!answer) co_return fail(answer.error());
  co_return client && any_address_matches(*answer, *client, prefix_length(*client, mechanism));
}

Task<Result<bool>> mx_matches(EvalContext& context, std::string_view domain,
                              const SpfMechanism& mechanism) {
  auto target = co_await begin_term(context, domain, mechanism);
  if (!target) co_return fail(target.error());
  auto exchanges = co_await counted_lookup(context, *target, kTypeMx);
  if (!exchanges) co_return fail(exchanges.error());
  const auto client = client_address(context.request);
  const std::uint8_t type = address_query_type(context.request);
  std::size_t looked_up = 0;
  for (const ResourceRecord& exchange : exchanges->records) {
    if (exchange.rr_type != kTypeMx || exchange.data.empty()) continue;
    // The limit bites only when an 11th exchange would be looked up.
    if (looked_up++ == kMaxMxExchanges) co_return fail(ErrorCode::MechanismRecordLimitExceeded);
    auto addresses = co_await uncounted_lookup(context, exchange.data, type);
    if (!addresses) co_return fail(addresses.error());
    if (client && any_address_matches(*addresses, *client, prefix_length(*client, mechanism))) {
      co_return true;
    }
  }
  co_return false;
}

bool is_name_or_subdomain(std::string_view name, std::string_view target) {
  if (iequals(name, target)) return true;
  return name.size() > target.size() + 1 && name[name.size() - target.size() - 1] == '.' &&
         iends_with(name, target);
}

Task<Result<bool>> ptr_matches(EvalContext& context, std::string_view domain,
                               const SpfMechanism& mechanism) {
  auto target = co_await begin_term(context, domain, mechanism);
  if (!target) co_return fail(target.error());
  auto names = co_await validated_client_names(context);
  if (!names) co_return fail(names.error());
  co_return std::any_of(names->begin(), names->end(), [&](const std::string& name) {
    return is_name_or_subdomain(name, *target);
  });
}

Task<Result<bool>> exists_matches(EvalContext& context, std::string_view domain,
                                  const SpfMechanism& mechanism) {
  auto target = co_await begin_term(context, domain, mechanism);
  if (!target) co_return fail(target.error());
  // RFC 7208 5.7: always an A query, whatever the client's family.
  auto answer = co_await counted_lookup(context, *target, kTypeA);
  if (!answer) co_return fail(answer.error());
  co_return !answer->records.empty();
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

Task<Result<bool>> mechanism_matches(EvalContext& context, std::string_view domain,
                                     const SpfMechanism& mechanism) {
  switch (mechanism.kind) {
    case MechanismKind::All: co_return true;
    case MechanismKind::Include: co_return co_await include_matches(context, domain, mechanism);
    case MechanismKind::A: co_return co_await a_matches(context, domain, mechanism);
    case MechanismKind::Mx: co_return co_await mx_matches(context, domain, mechanism);
    case MechanismKind::Ptr: co_return co_await ptr_matches(context, domain, mechanism);
    case MechanismKind::Ip4: co_return ip4_matches(context.request, mechanism);
    case MechanismKind::Ip6: co_return ip6_matches(context.request, mechanism);
    case MechanismKind::Exists: co_return co_await exists_matches(context, domain, mechanism);
  }
  co_return false;
}

}  // namespace tessvane
