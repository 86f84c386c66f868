#pragma once
// Helpers of the configuration tests: write a file, load it, capture what
// went to standard error meanwhile.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "config/config_load.h"
#include "support/temp_dir.h"

namespace tessvane::testing {

// Standard error redirected into a pipe for the lifetime of the object.
class StderrCapture {
 public:
  StderrCapture() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read_end_.reset(fds[0]);
    saved_.reset(::dup(STDERR_FILENO));
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Puts standard error back and returns everything written to it.
  std::string take() {
    restore();
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(read_end_.get(), buffer, sizeof buffer)) > 0;) {
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  void restore() {
    if (!saved_) return;
    ::dup2(saved_.get(), STDERR_FILENO);
    saved_.reset();
  }

  UniqueFd read_end_;
  UniqueFd saved_;
};

// Loads a configuration file holding content.
inline Result<Settings> load_text(const TempDir& dir, std::string_view content) {
  return load_settings(dir.write("tessvane.conf", content));
}

}  // namespace tessvane::testing
