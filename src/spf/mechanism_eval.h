#pragma once
// Evaluation of one mechanism of an SPF record (RFC 7208 5) at the current
// domain: whether it matches, or the error that ends the evaluation.

#include <string_view>

#include "base/error_code.h"
#include "base/task.h"
#include "spf/evaluation.h"
#include "spf/record.h"

namespace tessvane {

inline constexpr std::size_t kMaxMxExchanges = 10;

// Errors: those of check_host (include recurses into it), of the guarded
// lookups and of macro expansion.
Task<Result<bool>> mechanism_matches(EvalContext& context, std::string_view domain,
                                     const SpfMechanism& mechanism);

}  // namespace tessvane
