#include "support/log_capture.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <utility>

namespace tessvane::testing {

LogCapture::LogCapture(Severity level) {
  const std::string path = dir_.file("log");
  socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot bind log socket " << path;
  }
  int size = 4 << 20;  // room for a burst of lines between two reads
  setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  log_testing::set_syslog_path(path);
  logger().to_syslog = true;
  logger().level = static_cast<std::uint8_t>(level);
  open_log_connection();
}

LogCapture::~LogCapture() {
  close_log_connection();
  logger() = Logger{};
  log_testing::set_syslog_path("");
}

void LogCapture::drain() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    if (n < 0) break;
    pending_.emplace_back(buffer, static_cast<std::size_t>(n));
  }
}

std::vector<std::string> LogCapture::take_lines() {
  drain();
  return std::exchange(pending_, {});
}

std::string LogCapture::text_of(const std::string& line) {
  const auto colon = line.find("]: ");
  return colon == std::string::npos ? line : line.substr(colon + 3);
}

std::vector<std::string> LogCapture::take_texts() {
  std::vector<std::string> texts;
  for (const auto& line : take_lines()) texts.push_back(text_of(line));
  return texts;
}

bool LogCapture::contains(std::string_view fragment) {
  drain();
  for (const auto& line : pending_) {
    if (text_of(line).find(fragment) != std::string::npos) return true;
  }
  return false;
}

}  // namespace tessvane::testing
