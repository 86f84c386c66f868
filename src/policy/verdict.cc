#include "policy/verdict.h"

#include <new>

#include "config/settings.h"
#include "base/text.h"
#include "log/logger.h"
#include "policy/thread_resolver.h"
#include "net/address.h"
#include "spf/check_host.h"
#include "spf/evaluation.h"

namespace tessvane {
namespace {

constexpr std::string_view kNullSender = "<>";
constexpr std::string_view kLocalSubmission = "no client IP: local submission";
constexpr std::string_view kBadAddress = "client IP address missing or malformed";
constexpr std::string_view kTrustedRelay = "trusted relay; not evaluated";
constexpr std::string_view kWhitelisted = "client is whitelisted";

std::string_view bare_sender(std::string_view stored) noexcept {
  std::string_view sender = stored.empty() ? kNullSender : stored;
  if (sender.starts_with('<')) sender.remove_prefix(1);
  if (sender.ends_with('>')) sender.remove_suffix(1);
  return sender;
}

bool is_address(std::string_view text) noexcept {
  return parse_ip4(text).has_value() || parse_ip6(text).has_value();
}

// The resolver of this thread, built if needed; a failed build is logged
// with its fixed message and given back as the error check_host would give.
Result<std::shared_ptr<Resolver>> evaluation_resolver(sys::IoLoop* loop) noexcept {
  ThreadResolver* holder = nullptr;
  try {
    holder = &thread_resolver(settings(), loop);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  Result<std::shared_ptr<Resolver>> resolver = holder->get();
  if (resolver) return resolver;
  if (log_enabled(Severity::Err)) {
    log_message(Severity::Err,
                resolver_build_failure_message(resolver.error(), holder->failed_step()));
  }
  // An unusable nameserver makes every lookup fail: a DNS failure of this
  // receiver, not lack of memory.
  if (resolver.error() == ErrorCode::InvalidNameserver) return fail(ErrorCode::DnsTransient);
  return fail(resolver.error());
}

// The request, limits and resolver live in this frame for the whole
// evaluation; the resolver reference keeps an old resolver alive across a
// reload until the evaluation ends.
Task<SpfOutcome> run_check_host(const MessageFacts& facts, std::string_view domain,
                                VerdictLimits limits, sys::IoLoop* loop) {
  const std::string_view client = *facts.client;
  const UnmappedAddress unmapped = unmap_ipv4_mapped(client);
  const bool mapped = client.find(':') != std::string_view::npos && unmapped.was_mapped();
  SpfRequest request;
  request.client_ip = mapped ? unmapped.text() : client;
  request.client_is_ipv6 = !mapped && client.find(':') != std::string_view::npos;
  request.sender = facts.sender;
  request.helo = facts.helo_or_unknown();
  EvalLimits eval_limits =
      start_eval_limits(limits.max_void_lookups, limits.max_evaluation_ms, budget_clock_ms());
  Result<std::shared_ptr<Resolver>> resolver = evaluation_resolver(loop);
  if (!resolver) co_return SpfOutcome::failed(resolver.error());
  const std::shared_ptr<Resolver> held = std::move(*resolver);
  EvalContext context{*held, request, eval_limits};
  const SpfOutcome outcome = co_await check_host_async(context, domain, false);
  co_return outcome;
}

Task<Verdict> evaluate(const MessageFacts& facts, VerdictLimits limits, sys::IoLoop* loop) {
  const std::string_view domain = evaluated_domain(facts);
  if (domain.empty()) {
    co_return Verdict{VerdictCase::Evaluated, SpfResult::None, {}, facts.sender_domain};
  }
  const SpfOutcome outcome = co_await run_check_host(facts, domain, limits, loop);
  const SpfVerdict verdict = classify_outcome(outcome);
  co_return Verdict{VerdictCase::Evaluated, verdict.result, verdict.reason, domain};
}

}  // namespace

MessageFacts message_facts(const MilterConnection& connection) noexcept {
  MessageFacts facts;
  const std::string_view macro_client = connection.macro(MacroSlot::ClientAddr);
  if (!macro_client.empty()) {
    facts.client = macro_client;
  } else if (!connection.connect_address.empty()) {
    facts.client = std::string_view(connection.connect_address);
  }
  facts.sender = bare_sender(connection.sender);
  if (!connection.helo.empty() || connection.helo_received) {
    facts.helo = std::string_view(connection.helo);
  }
  const std::string_view queue_id = connection.macro(MacroSlot::QueueId);
  facts.queue_id = queue_id.empty() ? kNoQueueId : queue_id;
  const std::size_t at = facts.sender.rfind('@');
  facts.sender_domain = at == std::string_view::npos ? facts.sender : facts.sender.substr(at + 1);
  facts.family = connection.connect_family;
  return facts;
}

std::string_view evaluated_domain(const MessageFacts& facts) noexcept {
  if (!facts.sender.empty() && facts.sender != kNullSender &&
      facts.sender.find('@') != std::string_view::npos) {
    return facts.sender_domain;
  }
  return facts.helo_or_unknown();
}

Task<Verdict> reach_verdict(const MessageFacts& facts, const AddressList* trusted_relays,
                            const AddressList* whitelist, VerdictLimits limits,
                            sys::IoLoop* loop) {
  const std::string_view domain = facts.sender_domain;
  if (!facts.client) {
    // Only a TCP connection can be expected to name its client.
    if (facts.family == '4' || facts.family == '6') {
      co_return Verdict{VerdictCase::MissingAddress, SpfResult::Permerror, kBadAddress, domain};
    }
    co_return Verdict{VerdictCase::LocalSubmission, SpfResult::None, kLocalSubmission, domain};
  }
  if (!is_address(*facts.client)) {
    co_return Verdict{VerdictCase::MalformedAddress, SpfResult::Permerror, kBadAddress, domain};
  }
  if (trusted_relays != nullptr && address_list_contains(*trusted_relays, *facts.client)) {
    co_return Verdict{VerdictCase::TrustedRelay, SpfResult::None, kTrustedRelay, domain};
  }
  if (whitelist != nullptr && address_list_contains(*whitelist, *facts.client)) {
    co_return Verdict{VerdictCase::Whitelisted, SpfResult::Pass, kWhitelisted, domain};
  }
  // The lists are not touched after this point: the worker may acknowledge
  // a newer generation while the evaluation waits.
  co_return co_await evaluate(facts, limits, loop);
}

}  // namespace tessvane
