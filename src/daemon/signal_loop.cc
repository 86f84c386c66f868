#include <cerrno>
#include <csignal>
#include <ctime>

#include "config/list_reload.h"
#include "log/logger.h"
#include "daemon/startup_state.h"

namespace tessvane {
namespace {

// While a reload holds a list back (a busy worker keeps the replaced ones in
// use), the wait wakes this often to publish it once the worker moved on.
constexpr std::time_t kHeldListRetrySeconds = 1;

// The next of the three signals, or 0 when the wait ended without one.
int next_signal(const sigset_t& set, bool with_timeout) {
  if (!with_timeout) {
    int received = 0;
    return ::sigwait(&set, &received) == 0 ? received : 0;
  }
  const timespec timeout{kHeldListRetrySeconds, 0};
  const int received = ::sigtimedwait(&set, nullptr, &timeout);
  return received > 0 ? received : 0;
}

}  // namespace

// The three signals are blocked in every thread, so this wait is the only
// place they are received; one arriving during a reload stays pending.
int run_signal_loop(const Settings& config) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, signal);
  for (;;) {
    const int received = next_signal(set, lists_held_back());
    if (received == 0) {
      publish_held_lists(config);
      continue;
    }
    if (received != SIGHUP) return received;
    if (log_enabled(Severity::Info)) {
      log_message(Severity::Info, "SIGHUP received, reloading configuration...");
    }
    reload_configured_lists(config);
  }
}

}  // namespace tessvane
