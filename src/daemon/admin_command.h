#pragma once
// The administrator's commands beside running the daemon:
//
//   tessvane -V                 prints "tessvane {version}" on standard output
//   tessvane -t -c <file>       checks the configuration file and both list
//   tessvane -c <file> -t       files without starting (see config_check.h)
//
// Any other command line (among them "-c <file>" alone) is the daemon's own
// and is left to daemon_main unchanged.

#include <optional>
#include <span>
#include <string_view>

namespace tessvane {

enum class AdminCommand { Version, CheckConfig };

struct AdminRequest {
  AdminCommand command = AdminCommand::Version;
  std::string_view config_path;  // CheckConfig only
};

// args without the program name; nullopt when they are not an admin command.
std::optional<AdminRequest> admin_request(std::span<const std::string_view> args);

// Runs the command and returns the exit status: 0 for -V; for -t 0 when
// nothing is wrong, 1 otherwise.
int run_admin_request(const AdminRequest& request, std::string_view version);

}  // namespace tessvane
