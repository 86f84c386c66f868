#pragma once
// check_host (RFC 7208 4): fetches the SPF record of a domain through the
// context's resolver, parses it whole, evaluates its mechanisms in order,
// follows include and redirect by recursion and enforces the limits of RFC
// 7208 4.6.4 (10 DNS-querying terms, the void-lookup limit, 10 MX exchanges
// per mechanism, 10 PTR names) and the wall-clock budget. The exp modifier is
// never evaluated. Re-entrant: all state is in the context.

#include <string_view>

#include "base/task.h"

#include "spf/evaluation.h"

namespace tessvane {

// domain is borrowed; nested is false for the top-level call, true for
// include and redirect targets. Errors in the outcome: TermLimitExceeded,
// MechanismRecordLimitExceeded, VoidLookupLimitExceeded, NoRecordAtTarget
// (nested only), RecordSyntax, DnsTransient, Timeout, OutOfMemory.
// The evaluation waits for DNS on the loop of the context's resolver; the
// context and the domain must outlive the task. Destroying the task while it
// waits cancels the evaluation and every lookup in flight.
Task<SpfOutcome> check_host_async(EvalContext& context, std::string_view domain, bool nested);

// check_host_async driven to its end on the resolver's own loop (a resolver
// built without a loop: the check tool, tests). A failed wait of that loop
// ends the evaluation with DnsTransient.
SpfOutcome check_host(EvalContext& context, std::string_view domain, bool nested);

struct SpfVerdict {
  SpfResult result = SpfResult::None;
  std::string_view reason;  // empty for a result without error; static text
};

// The final result and the reason text of an outcome: the limits, a missing
// target record and syntax give permerror; DNS failures, the time budget and
// anything else give temperror.
SpfVerdict classify_outcome(const SpfOutcome& outcome) noexcept;

}  // namespace tessvane
