#pragma once
// The daemon's spine: the command line, the fixed order of start-up steps,
// the main thread's signal loop (SIGHUP reloads the address lists, SIGTERM
// and SIGINT drain and stop) and the orderly shutdown.
//
// Main thread only. Everything start-up builds is released on every path:
// on a fatal error by the time run_daemon returns, after a signal by the
// shutdown sequence.

#include <span>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

inline constexpr std::string_view kUsage = "usage: tessvane -c <config-file>";

// The configuration path: args (without the program name) must start with
// "-c" and a path; later arguments are ignored. Otherwise logs the usage line
// at err and fails with InvalidArgument.
Result<std::string_view> config_path_argument(std::span<const std::string_view> args);

// Start-up, the signal loop and shutdown. Success after an orderly shutdown;
// otherwise the first fatal error, with everything built so far released.
Status run_daemon(std::span<const std::string_view> args);

// The program entry: installs the empty SIGPIPE handler, runs the daemon and
// returns 0, or writes the fatal report and exits with status 1.
int daemon_main(int argc, char** argv);

}  // namespace tessvane
