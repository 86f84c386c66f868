#include "spf/guarded_lookup.h"

#include <algorithm>
#include <cstring>


namespace tessvane {
namespace {

// Errors that say the name does not exist or cannot be asked: the lookup
// found nothing. Everything else the resolver reports is transient.
bool is_name_error(ErrorCode error) noexcept {
  switch (error) {
    case ErrorCode::DnsNameError:
    case ErrorCode::NameTooLong:
    case ErrorCode::EmptyLabel:
    case ErrorCode::LabelTooLong:
    case ErrorCode::TooManyLabels: return true;
    default: return false;
  }
}

// A lookup's answer, and whether it was void (a name error or no records).
struct GuardedAnswer {
  Answer answer;
  bool is_void = false;
};

// Queries and sorts the outcome: an answer (empty for a void lookup), or
// Timeout or DnsTransient.
Task<Result<GuardedAnswer>> guarded_query(EvalContext& context, std::string_view name,
                                          std::uint8_t type) {
  if (budget_expired(context.limits)) co_return fail(ErrorCode::Timeout);
  auto answer = co_await context.resolver.lookup(name, type);
  if (!answer) {
    if (!is_name_error(answer.error())) co_return fail(ErrorCode::DnsTransient);
    co_return GuardedAnswer{Answer{}, true};
  }
  const bool is_void = answer->records.empty();
  co_return GuardedAnswer{std::move(*answer), is_void};
}

template <std::size_t N>
bool bytes_equal(const std::string& data, const std::array<std::uint8_t, N>& bytes) {
  return data.size() >= N && std::memcmp(data.data(), bytes.data(), N) == 0;
}

template <std::size_t N>
std::array<std::uint8_t, N> leading_bytes(const std::string& data) {
  std::array<std::uint8_t, N> out{};
  std::memcpy(out.data(), data.data(), N);
  return out;
}

}  // namespace

bool ClientAddress::equals_record(const ResourceRecord& record) const noexcept {
  if (record.rr_type != address_type()) return false;
  return ipv6 ? bytes_equal(record.data, v6.bytes) : bytes_equal(record.data, v4.bytes);
}

bool ClientAddress::matches_record(const ResourceRecord& record,
                                   std::uint8_t length) const noexcept {
  if (record.rr_type != address_type()) return false;
  if (ipv6) {
    if (record.data.size() < v6.bytes.size()) return false;
    return ip6_prefix_match(Ip6Addr{leading_bytes<16>(record.data)}, v6, length);
  }
  if (record.data.size() < v4.bytes.size()) return false;
  return ip4_prefix_match(Ip4Addr{leading_bytes<4>(record.data)}, v4, length);
}

std::optional<ClientAddress> client_address(const SpfRequest& request) noexcept {
  ClientAddress client;
  client.ipv6 = request.client_is_ipv6;
  if (client.ipv6) {
    auto parsed = parse_ip6(request.client_ip);
    if (!parsed) return std::nullopt;
    client.v6 = *parsed;
  } else {
    auto parsed = parse_ip4(request.client_ip);
    if (!parsed) return std::nullopt;
    client.v4 = *parsed;
  }
  return client;
}

bool budget_expired(const EvalLimits& limits) noexcept {
  return budget_clock_ms() >= limits.deadline_ms;
}

Status count_dns_term(EvalContext& context) {
  if (budget_expired(context.limits)) return fail(ErrorCode::Timeout);
  if (context.limits.dns_term_count++ >= kMaxDnsTerms) return fail(ErrorCode::TermLimitExceeded);
  return {};
}

Task<Result<Answer>> counted_lookup(EvalContext& context, std::string_view name,
                                    std::uint8_t type) {
  auto guarded = co_await guarded_query(context, name, type);
  if (!guarded) co_return fail(guarded.error());
  if (guarded->is_void) {
    EvalLimits& limits = context.limits;
    const std::uint64_t before = limits.void_lookup_count++;
    if (limits.max_void_lookups != 0 && before >= limits.max_void_lookups) {
      co_return fail(ErrorCode::VoidLookupLimitExceeded);
    }
  }
  co_return std::move(guarded->answer);
}

Task<Result<Answer>> uncounted_lookup(EvalContext& context, std::string_view name,
                                      std::uint8_t type) {
  auto guarded = co_await guarded_query(context, name, type);
  if (!guarded) co_return fail(guarded.error());
  co_return std::move(guarded->answer);
}

Task<Result<std::vector<std::string>>> validated_client_names(EvalContext& context) {
  std::vector<std::string> names;
  const auto client = client_address(context.request);
  if (!client) co_return names;
  const auto reverse = client->ipv6 ? reverse_dns_name(client->v6) : reverse_dns_name(client->v4);
  auto pointers = co_await counted_lookup(context, reverse.view(), kTypePtr);
  if (!pointers) co_return fail(pointers.error());
  std::size_t examined = 0;
  for (const ResourceRecord& pointer : pointers->records) {
    if (pointer.rr_type != kTypePtr) continue;
    if (examined++ == kMaxPtrNames) break;
    auto addresses = co_await uncounted_lookup(context, pointer.data, client->address_type());
    if (!addresses) co_return fail(addresses.error());
    const auto& records = addresses->records;
    if (std::any_of(records.begin(), records.end(),
                    [&](const ResourceRecord& r) { return client->equals_record(r); })) {
      names.push_back(pointer.data);
    }
  }
  co_return names;
}

}  // namespace tessvane
