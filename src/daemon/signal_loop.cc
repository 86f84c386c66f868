#include <csignal>

#include "config/list_reload.h"
#include "log/logger.h"
#include "daemon/startup_state.h"

namespace tessvane {

// The three signals are blocked in every thread, so this wait is the only
// place they are received; one arriving during a reload stays pending.
int run_signal_loop(const Settings& config) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, signal);
  for (;;) {
    int received = 0;
    if (::sigwait(&set, &received) != 0) continue;
    if (received != SIGHUP) return received;
    if (log_enabled(Severity::Info)) {
      log_message(Severity::Info, "SIGHUP received, reloading configuration...");
    }
    reload_configured_lists(config);
  }
}

}  // namespace tessvane
