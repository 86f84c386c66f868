// tessvane-check: one SPF evaluation from the command line.

#include <string_view>
#include <vector>

#include "check/run_check.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return tessvane::check::run_check(args);
}
