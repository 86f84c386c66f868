#include "check/run_check.h"

#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "check/command_line.h"
#include "check/evaluation_inputs.h"
#include "log/logger.h"
#include "dns/resolver.h"
#include "spf/check_host.h"

namespace tessvane::check {
namespace {

constexpr std::uint64_t kMaxVoidLookups = 2;
constexpr std::int64_t kMaxEvaluationMs = 20000;
constexpr std::uint32_t kQueryTimeoutMs = 5000;
constexpr std::uint8_t kQueryRetries = 2;
constexpr std::uint32_t kCacheSize = 1000;
constexpr std::uint32_t kNegativeTtl = 60;

void set_up_logger() {
  Logger& log = logger();
  log.to_syslog = false;
  log.facility = 2;
  log.level = static_cast<std::uint8_t>(Severity::Err);
  log.set_ident("tessvane-check");
  open_log_connection();
}

void report(std::string_view message) {
  write_stderr_locked(cat("tessvane-check: ", message));
}

// Writes the whole text, retrying partial writes; errors are ignored.
void write_stdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

SpfResult evaluate(Resolver& resolver, const EvaluationInputs& inputs) {
  if (inputs.domain().empty()) return SpfResult::None;
  const SpfRequest request{inputs.request_client(), inputs.sender(), inputs.helo(),
                           inputs.client_is_ipv6()};
  EvalLimits limits = start_eval_limits(kMaxVoidLookups, kMaxEvaluationMs, budget_clock_ms());
  EvalContext context{resolver, request, limits};
  return classify_outcome(check_host(context, inputs.domain(), false)).result;
}

}  // namespace

int run_check(std::span<const std::string_view> args) {
  set_up_logger();
  auto options = parse_command_line(args);
  if (!options) {
    report(options.error().message);
    return kExitUsage;
  }
  if (options->help) {
    write_stdout(kUsageText);
    return 0;
  }
  const EvaluationInputs inputs(*options);
  ResolverConfig config;
  config.nameservers = {std::string(options->nameserver)};
  config.port = options->port;
  config.timeout_ms = kQueryTimeoutMs;
  config.retries = kQueryRetries;
  config.cache_size = kCacheSize;
  config.negative_ttl = kNegativeTtl;
  ResolverBuildStep failed_step = ResolverBuildStep::ServerAddresses;
  auto resolver = Resolver::build(config, &failed_step);
  if (!resolver) {
    report(resolver_build_failure_message(resolver.error(), failed_step));
    return kExitResolverSetup;
  }
  const SpfResult result = evaluate(*resolver, inputs);
  write_stdout(format_result_block(result, inputs));
  return exit_status_for(result);
}

}  // namespace tessvane::check
