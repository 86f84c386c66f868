#include "spf/evaluation.h"

namespace tessvane {

EvalLimits start_eval_limits(std::uint64_t max_void_lookups, std::int64_t max_evaluation_ms,
                             std::int64_t now_ms) noexcept {
  EvalLimits limits;
  limits.max_void_lookups = max_void_lookups;
  limits.max_evaluation_ms = max_evaluation_ms;
  constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  if (max_evaluation_ms == 0 || (max_evaluation_ms > 0 && now_ms > kNever - max_evaluation_ms)) {
    limits.deadline_ms = kNever;
  } else {
    limits.deadline_ms = now_ms + max_evaluation_ms;
  }
  return limits;
}

}  // namespace tessvane
