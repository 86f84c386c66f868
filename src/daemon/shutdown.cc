#include "base/text.h"
#include "config/list_reload.h"
#include "log/logger.h"
#include "daemon/pid_file.h"
#include "daemon/startup_state.h"
#include "policy/thread_resolver.h"

namespace tessvane {

void begin_shutdown(DaemonRun& run, int signal) noexcept {
  if (log_enabled(Severity::Info)) {
    log_message(Severity::Info,
                cat("shutdown signal ", signal, " received, draining connections..."));
  }
  run.shutdown_write.reset();
}

// Also the release after a fatal start-up error: workers that already run
// are told to drain (end of file on the shutdown pipe) and joined before
// anything they use goes away.
DaemonRun::~DaemonRun() {
  shutdown_write.reset();
  for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
  threads.clear();
  release_configured_lists();
  stop_health_monitor(std::move(monitor));
  set_health_marks(nullptr);
  workers.clear();
  shutdown_read.reset();
  if (pid_file_written) remove_pid_file(config_.pid_file);
}

}  // namespace tessvane
