#pragma once
// What start-up builds and shutdown releases, shared by the files of the
// start-up sequence (startup.cc, startup_workers.cc, signal_loop.cc,
// shutdown.cc). Main thread only.

#include <pthread.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "base/error_code.h"
#include "base/unique_fd.h"
#include "config/settings.h"
#include "dns/health_monitor.h"
#include "milter/worker.h"

namespace tessvane {

// Owns the run's resources. Its destructor is the release half of shutdown,
// run on every exit from run_daemon: it tells running workers to stop (by
// closing the shutdown pipe), joins them, then releases the lists and the
// generation record, stops the monitor, frees the workers and removes the
// pid file when this run wrote it. Nothing a worker uses goes before the
// worker has been joined.
class DaemonRun {
 public:
  explicit DaemonRun(const Settings& config) noexcept : config_(config) {}
  ~DaemonRun();
  DaemonRun(const DaemonRun&) = delete;
  DaemonRun& operator=(const DaemonRun&) = delete;

  const Settings& config() const noexcept { return config_; }

  UniqueFd readiness;                      // write end while daemonized
  std::unique_ptr<HealthMonitor> monitor;  // none without a usable server list
  bool pid_file_written = false;
  UniqueFd shutdown_read;
  UniqueFd shutdown_write;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<pthread_t> threads;  // one per started worker, in index order

 private:
  const Settings& config_;
};

// Steps 19 to 23 of start-up: the shutdown pipe, the acknowledgement table
// and reload pipes, the workers with their event queues and listening
// sockets, and their threads. Errors: the pipe errors, OutOfMemory, the
// listening-socket and event-queue errors, the thread-creation errors.
Status start_workers(DaemonRun& run, std::size_t count);

// Waits for SIGHUP, SIGTERM or SIGINT, reloading the address lists on each
// SIGHUP; returns the number of the signal that ends the run.
int run_signal_loop(const Settings& config);

// The orderly part of shutdown before the release: the log line and the
// drain command (closing the shutdown pipe's write end).
void begin_shutdown(DaemonRun& run, int signal) noexcept;

}  // namespace tessvane
