// Which command lines are the administrator's commands and which stay the
// daemon's own: "-c <file>" alone, and anything unexpected, must reach the
// daemon's start-up unchanged.

#include "daemon/admin_command.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace tessvane {
namespace {

struct Case {
  std::vector<std::string_view> args;
  std::optional<AdminCommand> command;
  std::string_view path;
};

TEST(AdminRequest, RecognisesOnlyTheAdministratorsForms) {
  const std::vector<Case> cases = {
      {{"-V"}, AdminCommand::Version, ""},
      {{"-t", "-c", "/etc/tessvane.conf"}, AdminCommand::CheckConfig, "/etc/tessvane.conf"},
      {{"-c", "/etc/tessvane.conf", "-t"}, AdminCommand::CheckConfig, "/etc/tessvane.conf"},
      {{"-c", "-t", "-t"}, AdminCommand::CheckConfig, "-t"},
      {{"-c", "/etc/tessvane.conf"}, std::nullopt, ""},
      {{"-c", "/etc/tessvane.conf", "-x"}, std::nullopt, ""},
      {{"-t"}, std::nullopt, ""},
      {{"-t", "-c"}, std::nullopt, ""},
      {{"-V", "-c", "f"}, std::nullopt, ""},
      {{"-t", "-c", "f", "extra"}, std::nullopt, ""},
      {{}, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const auto request = admin_request(c.args);
    std::string shown;
    for (auto arg : c.args) shown += std::string(arg) + " ";
    ASSERT_EQ(request.has_value(), c.command.has_value()) << shown;
    if (!request) continue;
    EXPECT_EQ(request->command, *c.command) << shown;
    EXPECT_EQ(request->config_path, c.path) << shown;
  }
}

}  // namespace
}  // namespace tessvane
