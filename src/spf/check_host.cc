#include "spf/check_host.h"

#include <new>
#include <string>

#include "dns/resolver.h"
#include "spf/guarded_lookup.h"
#include "spf/macro.h"
#include "spf/mechanism_eval.h"
#include "spf/record.h"
#include "spf/record_selection.h"

namespace tessvane {
namespace {

SpfResult result_of(Qualifier qualifier) noexcept {
  switch (qualifier) {
    case Qualifier::Pass: return SpfResult::Pass;
    case Qualifier::Fail: return SpfResult::Fail;
    case Qualifier::Softfail: return SpfResult::Softfail;
    case Qualifier::Neutral: return SpfResult::Neutral;
  }
  return SpfResult::Neutral;
}

Task<SpfOutcome> follow_redirect(EvalContext& context, std::string_view domain,
                                 std::string_view redirect) {
  if (auto counted = count_dns_term(context); !counted) {
    co_return SpfOutcome::failed(counted.error());
  }
  auto target = co_await expand_macros(context, domain, redirect);
  if (!target) co_return SpfOutcome::failed(target.error());
  co_return co_await check_host_async(context, *target, true);
}

// One level: the record of domain, fetched, selected, parsed and evaluated.
// The answer holding the record text lives until the level returns.
Task<SpfOutcome> evaluate_domain(EvalContext& context, std::string_view domain, bool nested) {
  if (budget_expired(context.limits)) co_return SpfOutcome::failed(ErrorCode::Timeout);
  auto answer = co_await counted_lookup(context, domain, kTypeTxt);
  if (!answer) co_return SpfOutcome::failed(answer.error());
  auto selected = select_spf_record(answer->records);
  if (!selected) co_return SpfOutcome::failed(ErrorCode::RecordSyntax);
  if (!*selected) {
    co_return nested ? SpfOutcome::failed(ErrorCode::NoRecordAtTarget)
                     : SpfOutcome::of(SpfResult::None);
  }
  auto record = parse_spf_record(**selected);
  if (!record) {
    co_return SpfOutcome::failed(record.error() == ErrorCode::OutOfMemory
                                     ? ErrorCode::OutOfMemory
                                     : ErrorCode::RecordSyntax);
  }
  for (const SpfMechanism& mechanism : record->mechanisms) {
    auto matched = co_await mechanism_matches(context, domain, mechanism);
    if (!matched) co_return SpfOutcome::failed(matched.error());
    if (*matched) co_return SpfOutcome::of(result_of(mechanism.qualifier));
  }
  if (record->redirect) co_return co_await follow_redirect(context, domain, *record->redirect);
  co_return SpfOutcome::of(SpfResult::Neutral);
}

// The one boundary of the engine where memory exhaustion becomes a value;
// it also covers the frames of the nested levels, made as they are called.
Task<SpfOutcome> evaluate_top_level(EvalContext& context, std::string_view domain) {
  try {
    co_return co_await evaluate_domain(context, domain, false);
  } catch (const std::bad_alloc&) {
    co_return SpfOutcome::failed(ErrorCode::OutOfMemory);
  }
}

}  // namespace

Task<SpfOutcome> check_host_async(EvalContext& context, std::string_view domain, bool nested) {
  if (nested) return evaluate_domain(context, domain, nested);
  return evaluate_top_level(context, domain);
}

SpfOutcome check_host(EvalContext& context, std::string_view domain, bool nested) {
  sys::LocalLoop* loop = context.resolver.own_loop();
  if (loop == nullptr) return SpfOutcome::failed(ErrorCode::DnsTransient);
  try {
    Task<SpfOutcome> task = check_host_async(context, domain, nested);
    if (!sys::run_until_done(task, *loop)) return SpfOutcome::failed(ErrorCode::DnsTransient);
    return task.take_result();
  } catch (const std::bad_alloc&) {
    return SpfOutcome::failed(ErrorCode::OutOfMemory);
  }
}

SpfVerdict classify_outcome(const SpfOutcome& outcome) noexcept {
  if (!outcome.error) return {outcome.result, ""};
  switch (*outcome.error) {
    case ErrorCode::TermLimitExceeded:
      return {SpfResult::Permerror, "more than 10 DNS-querying terms (RFC 7208 4.6.4)"};
    case ErrorCode::MechanismRecordLimitExceeded:
      return {SpfResult::Permerror, "more than 10 records in one mechanism (RFC 7208 4.6.4)"};
    case ErrorCode::VoidLookupLimitExceeded:
      return {SpfResult::Permerror, "too many void DNS lookups (RFC 7208 4.6.4)"};
    case ErrorCode::NoRecordAtTarget:
      return {SpfResult::Permerror,
              "include or redirect target publishes no SPF record (RFC 7208 5.2, 6.1)"};
    case ErrorCode::RecordSyntax:
      return {SpfResult::Permerror, "malformed SPF record (RFC 7208 4.6)"};
    case ErrorCode::DnsTransient:
      return {SpfResult::Temperror, "DNS lookup failed transiently (RFC 7208 4.4)"};
    case ErrorCode::Timeout:
      return {SpfResult::Temperror, "evaluation exceeded its time budget (RFC 7208 4.6.4)"};
    default: return {SpfResult::Temperror, "receiver out of memory"};
  }
}

}  // namespace tessvane
