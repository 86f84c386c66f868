#include "daemon/admin_command.h"

#include <unistd.h>

#include "base/text.h"
#include "daemon/config_check.h"

namespace tessvane {

std::optional<AdminRequest> admin_request(std::span<const std::string_view> args) {
  if (args.size() == 1 && args[0] == "-V") return AdminRequest{AdminCommand::Version, {}};
  if (args.size() != 3) return std::nullopt;
  if (args[0] == "-t" && args[1] == "-c") return AdminRequest{AdminCommand::CheckConfig, args[2]};
  if (args[0] == "-c" && args[2] == "-t") return AdminRequest{AdminCommand::CheckConfig, args[1]};
  return std::nullopt;
}

int run_admin_request(const AdminRequest& request, std::string_view version) {
  if (request.command == AdminCommand::CheckConfig) return check_configuration(request.config_path);
  const std::string line = cat("tessvane ", version, "\n");
  return ::write(STDOUT_FILENO, line.data(), line.size()) == static_cast<ssize_t>(line.size())
             ? 0
             : 1;
}

}  // namespace tessvane
