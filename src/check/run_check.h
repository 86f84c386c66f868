#pragma once
// One run of tessvane-check: options, resolver, at most one evaluation, the
// result block on standard output, and the exit status to end with.

#include <span>
#include <string_view>

namespace tessvane::check {

// Exit statuses besides the result's own (0 or 1, see exit_status_for).
inline constexpr int kExitUsage = 2;
inline constexpr int kExitResolverSetup = 3;

// args are the arguments after the program name. Usage errors and resolver
// set-up failures are written to standard error as "tessvane-check: {message}".
int run_check(std::span<const std::string_view> args);

}  // namespace tessvane::check
