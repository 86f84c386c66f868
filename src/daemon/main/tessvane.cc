// tessvane: the SPF milter daemon.

#include <string_view>
#include <vector>

#include "daemon/admin_command.h"
#include "daemon/startup.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (auto request = tessvane::admin_request(args)) {
    return tessvane::run_admin_request(*request, TESSVANE_VERSION);
  }
  return tessvane::daemon_main(argc, argv);
}
