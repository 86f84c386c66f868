#include "daemon/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "config/config_load.h"
#include "daemon/daemonize.h"
#include "config/list_reload.h"
#include "log/logger.h"
#include "daemon/open_files.h"
#include "daemon/pid_file.h"
#include "daemon/privileges.h"
#include "daemon/runtime_dirs.h"
#include "daemon/startup_state.h"
#include "policy/publisher.h"
#include "policy/thread_resolver.h"
#include "sys/platform.h"

namespace tessvane {
namespace {

constexpr unsigned kFallbackWorkerCount = 4;
// Logged once by a daemon started as root without `User`.
constexpr std::string_view kRunningAsRoot = "no User configured: every worker serves mail as root";

void log_error(Severity severity, std::string_view prefix, ErrorCode error,
               std::string_view suffix = {}) {
  if (log_enabled(severity)) {
    log_message(severity, cat(prefix, "error.", error_name(error), suffix));
  }
}

void ignore_signal(int) {}

void install_sigpipe_handler() noexcept {
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGPIPE, &action, nullptr);
}

void block_daemon_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGHUP, SIGTERM, SIGINT, SIGPIPE}) sigaddset(&set, signal);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void install_logger(const Settings& config) noexcept {
  Logger& log = logger();
  log.to_syslog = config.to_syslog;
  log.facility = config.facility;
  log.level = config.level;
  log.set_ident("tessvane");
  open_log_connection();
}

std::size_t worker_count(const Settings& config) noexcept {
  if (config.worker_threads != 0) return config.worker_threads;
  const unsigned cpus = sys::cpu_count();
  return cpus != 0 ? cpus : kFallbackWorkerCount;
}

// Steps 11 and 12: the pid file's directory, then every UNIX-domain
// listener's, owned by User when it resolves.
void prepare_runtime_dirs(const Settings& config) {
  std::optional<Owner> owner;
  if (config.user) {
    auto resolved = resolve_user(*config.user);
    if (resolved) {
      owner = *resolved;
    } else if (log_enabled(Severity::Warning)) {
      log_message(Severity::Warning,
                  cat("resolving '", *config.user, "' for runtime directories failed: error.",
                      error_name(resolved.error())));
    }
  }
  prepare_runtime_dir(config.pid_file, owner);
  for (const ListenerSpec& listener : config.listeners) {
    if (listener.is_unix) prepare_runtime_dir(listener.address, owner);
  }
}

// Steps 6 to 10: up to the running health monitor.
Status become_daemon(DaemonRun& run) {
  const Settings& config = run.config();
  if (config.umask) ::umask(static_cast<mode_t>(*config.umask));
  if (auto checked = check_pid_file(config.pid_file); !checked) return checked;
  if (!config.foreground) {
    auto readiness = daemonize();
    if (!readiness) {
      log_error(Severity::Err, "daemonize failed: ", readiness.error());
      return fail(readiness.error());
    }
    open_log_connection();
    run.readiness = std::move(*readiness);
  }
  block_daemon_signals();
  HealthMonitorOptions options;
  options.port = config.dns_port;
  run.monitor = start_health_monitor(config.nameservers, options);
  set_health_marks(run.monitor ? &run.monitor->marks() : nullptr);
  return {};
}

// Steps 11 to 18: runtime files, limits, identity, the starting line.
Status settle_process(DaemonRun& run, std::size_t workers) {
  const Settings& config = run.config();
  prepare_runtime_dirs(config);
  if (auto written = write_pid_file(config.pid_file); written) {
    run.pid_file_written = true;
  } else {
    log_error(Severity::Err, "pid file write failed: ", written.error());
  }
  raise_fd_limit(fd_limit_request(workers, config.max_connections, config.listeners.size()));
  if (config.user) {
    if (auto dropped = drop_privileges(*config.user); !dropped) {
      if (log_enabled(Severity::Err)) {
        log_message(Severity::Err, cat("privilege drop to '", *config.user, "' failed: error.",
                                       error_name(dropped.error())));
      }
      return dropped;
    }
  } else if (::geteuid() == 0 && log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, kRunningAsRoot);
  }
  if (log_enabled(Severity::Info)) {
    log_message(Severity::Info, cat("Tessvane starting, AuthservID=", config.authserv_id,
                                    ", listeners=", config.listeners.size()));
  }
  return {};
}

Status start_and_serve(DaemonRun& run) {
  if (auto ready = become_daemon(run); !ready) return ready;
  const std::size_t workers = worker_count(run.config());
  if (auto settled = settle_process(run, workers); !settled) return settled;
  try {
    configure_publishing(run.config().zmq_endpoint, run.config().zmq_topic);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  if (auto started = start_workers(run, workers); !started) return started;
  notify_ready(std::move(run.readiness));
  begin_shutdown(run, run_signal_loop(run.config()));
  return {};
}

}  // namespace

Result<std::string_view> config_path_argument(std::span<const std::string_view> args) {
  if (args.size() < 2 || args[0] != "-c") {
    if (log_enabled(Severity::Err)) log_message(Severity::Err, kUsage);
    return fail(ErrorCode::InvalidArgument);
  }
  return args[1];
}

Status run_daemon(std::span<const std::string_view> args) {
  auto path = config_path_argument(args);
  if (!path) return fail(path.error());
  auto loaded = load_settings(*path);
  if (!loaded) return fail(loaded.error());
  install_logger(*loaded);
  settings() = std::move(*loaded);
  const Settings& config = settings();
  // The lists are read here as root, from paths the account named by User
  // may control: read only what that account could read itself.
  std::optional<FileReader> reader;
  if (config.user && ::geteuid() == 0) {
    if (auto resolved = resolve_user(*config.user); resolved) {
      reader = FileReader{resolved->uid, resolved->gid};
    }
  }
  load_configured_lists(config, reader ? &*reader : nullptr);
  DaemonRun run(config);
  return start_and_serve(run);
}

int daemon_main(int argc, char** argv) {
  install_sigpipe_handler();
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  if (auto status = run_daemon(args); !status) exit_with_fatal_report(status.error());
  return 0;
}

}  // namespace tessvane
