#pragma once
// Runs the built tessvane-check with arguments and collects what it wrote and
// how it ended. The wait is bounded; a run that overstays is killed and
// reported as a test failure.

#include <string>
#include <string_view>
#include <vector>

namespace tessvane::testing {

struct ProgramRun {
  int status = -1;  // the exit status; -1 when it did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// The path of the tessvane-check program in the build tree.
std::string check_program_path();

ProgramRun run_check_program(const std::vector<std::string>& args);

}  // namespace tessvane::testing
