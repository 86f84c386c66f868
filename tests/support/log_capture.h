#pragma once
// Captures the calling thread's log lines: binds a datagram socket in a
// private directory, points the logger at it in syslog mode and reads back
// what arrived. Restores the logger's initial state when it goes away.
//
// Only the thread that created the capture is connected; other threads that
// should be captured call open_log_connection() themselves while it lives.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "log/logger.h"
#include "support/temp_dir.h"

namespace tessvane::testing {

class LogCapture {
 public:
  explicit LogCapture(Severity level = Severity::Debug);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every datagram received since the last call, whole ("<pri>ident[pid]: text").
  std::vector<std::string> take_lines();
  // The text part of each line (after "]: "), for comparing messages.
  std::vector<std::string> take_texts();
  // True when some text not yet taken contains the fragment; takes nothing.
  bool contains(std::string_view fragment);

 private:
  void drain();
  static std::string text_of(const std::string& line);

  TempDir dir_;
  UniqueFd socket_;
  std::vector<std::string> pending_;
};

}  // namespace tessvane::testing
