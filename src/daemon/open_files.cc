#include "daemon/open_files.h"

#include <sys/resource.h>

#include <limits>

#include "base/text.h"
#include "log/logger.h"

namespace tessvane {
namespace {

// Descriptors of the process itself beyond the workers' (standard streams,
// the main thread's syslog socket and pipes, the monitor's sockets, libzmq).
constexpr std::uint64_t kProcessReserve = 64;
// Per worker besides its connections and listeners: kqueue, reload pipe, log socket.
constexpr std::uint64_t kWorkerReserve = 3;

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > kSaturated - b ? kSaturated : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > kSaturated / b ? kSaturated : a * b;
}

}  // namespace

std::uint64_t fd_limit_request(std::uint64_t workers, std::uint64_t max_connections,
                               std::uint64_t listeners) noexcept {
  const std::uint64_t per_worker =
      saturating_add(saturating_add(max_connections, listeners), kWorkerReserve);
  return saturating_add(saturating_mul(workers, per_worker), kProcessReserve);
}

// rlim_t is unsigned on some systems and signed on others; limits are never
// negative, so the unsigned view compares correctly on both.
void raise_fd_limit(std::uint64_t requested) noexcept {
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return;
  const auto hard = static_cast<std::uint64_t>(limits.rlim_max);
  const std::uint64_t soft = requested < hard ? requested : hard;
  rlimit wanted = limits;
  wanted.rlim_cur = static_cast<rlim_t>(soft);
  // The line reports the limits in force: after a refusal, the old ones.
  if (::setrlimit(RLIMIT_NOFILE, &wanted) == 0) ::getrlimit(RLIMIT_NOFILE, &limits);
  if (log_enabled(Severity::Info)) {
    log_message(Severity::Info,
                cat("file descriptor limit set to ", static_cast<std::uint64_t>(limits.rlim_cur),
                    " (requested ", requested, ", hard max ",
                    static_cast<std::int64_t>(limits.rlim_max), ")"));
  }
}

}  // namespace tessvane
