#pragma once
// Runs tests/tools/check_authres.py, the independent RFC 8601 parser
// (python3-authres), over a file of header fields and returns its lines.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace tessvane::testing {

// options: extra command-line options before the file, e.g. "--methods".
inline std::vector<std::string> run_authres_checker(const std::string& path,
                                                    const std::string& options = {}) {
  const std::string command = std::string("'") + TESSVANE_PYTHON + "' '" + TESSVANE_TEST_TOOLS +
                              "/check_authres.py' " + options + " '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string output;
  if (pipe != nullptr) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
  }
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace tessvane::testing
