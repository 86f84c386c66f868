#pragma once
// The data of one SPF evaluation (RFC 7208 4): the transaction it is about,
// its processing limits and time budget, and the context that every level of
// check_host shares. Nothing here is global: the caller owns all of it for
// the whole evaluation, so evaluations on different threads share nothing
// but what their resolvers share.

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "base/error_code.h"
#include "spf/spf_result.h"
#include "sys/platform.h"

namespace tessvane {

class Resolver;

// An evaluation's end: an error, or a result (none, neutral, pass, fail or
// softfail; temperror and permerror only arise from classify_outcome).
struct SpfOutcome {
  std::optional<ErrorCode> error;
  SpfResult result = SpfResult::None;

  static SpfOutcome of(SpfResult r) noexcept { return {std::nullopt, r}; }
  static SpfOutcome failed(ErrorCode e) noexcept { return {e, SpfResult::None}; }
};

// The transaction; the texts are borrowed from the caller.
struct SpfRequest {
  std::string_view client_ip;  // dotted quad or IPv6 text
  std::string_view sender;     // MAIL FROM, possibly empty
  std::string_view helo;
  bool client_is_ipv6 = false;
};

// One per top-level evaluation, shared by every nested level.
struct EvalLimits {
  std::uint64_t max_void_lookups = 2;  // 0: no limit
  std::int64_t max_evaluation_ms = 20000;
  std::uint64_t dns_term_count = 0;
  std::uint64_t void_lookup_count = 0;
  std::int64_t deadline_ms = std::numeric_limits<std::int64_t>::max();  // budget_clock_ms
};

// The clock of the time budget: the wall clock to within a scheduler tick,
// cheap enough to read before every lookup of every evaluation.
inline std::int64_t budget_clock_ms() noexcept {
  return sys::coarse_wall_clock_ms();
}

// Limits with both counters 0 and the deadline max_evaluation_ms after
// now_ms; a budget of 0 means none (the largest deadline). The sum saturates.
EvalLimits start_eval_limits(std::uint64_t max_void_lookups, std::int64_t max_evaluation_ms,
                             std::int64_t now_ms) noexcept;

// Built by the caller and passed unchanged to every nested call. The
// resolver is the calling thread's; the request and limits outlive the
// evaluation. (Memory comes from the standard allocator; its exhaustion is
// reported as OutOfMemory by check_host.)
struct EvalContext {
  Resolver& resolver;
  const SpfRequest& request;
  EvalLimits& limits;
};

}  // namespace tessvane
