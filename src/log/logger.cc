#include "log/logger.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/number.h"
#include "base/unique_fd.h"
#include "sys/datagrams.h"
#include "sys/platform.h"

namespace tessvane {
namespace {

Logger g_logger;

// Per-thread state: each thread owns its syslog socket, so no lock is shared
// on the logging path.
thread_local UniqueFd t_log_fd;
thread_local pid_t t_log_pid = 0;

// The lines a thread holds between hold_log_lines and flush_log_lines.
struct HeldLines {
  bool holding = false;
  // The last send took none of the held lines (the receiver's queue is
  // full): a full hold then loses its oldest line without a new try, which
  // would only fail again, until the holder asks for the next send.
  bool refused = false;
  std::size_t count = 0;
  std::array<std::array<char, kLogLineMax>, kHeldLogLines> lines;
  std::array<std::size_t, kHeldLogLines> lengths;
};
thread_local HeldLines t_held;

// Drops the first count held lines, keeping the others in order.
void drop_first_held(std::size_t count) noexcept {
  const std::size_t kept = t_held.count - count;
  for (std::size_t i = 0; i < kept; ++i) {
    std::memcpy(t_held.lines[i].data(), t_held.lines[count + i].data(), t_held.lengths[count + i]);
    t_held.lengths[i] = t_held.lengths[count + i];
  }
  t_held.count = kept;
}

// Sends the held lines; those a full receiver refused stay held, in order.
void send_held_lines() noexcept {
  t_held.refused = false;
  if (t_held.count == 0) return;
  if (!t_log_fd.valid()) {
    t_held.count = 0;
    return;
  }
  std::array<std::string_view, kHeldLogLines> datagrams;
  for (std::size_t i = 0; i < t_held.count; ++i)
    datagrams[i] = std::string_view(t_held.lines[i].data(), t_held.lengths[i]);
  const std::size_t sent =
      sys::send_datagrams(t_log_fd.get(), std::span(datagrams).first(t_held.count));
  t_held.refused = sent == 0;
  drop_first_held(sent);
}

// Test-only redirection of the syslog path; empty means the platform's.
std::array<char, sizeof(sockaddr_un::sun_path)> g_test_syslog_path{};

std::string_view syslog_path() noexcept {
  if (g_test_syslog_path[0] != '\0') return g_test_syslog_path.data();
  return sys::syslog_socket_path();
}

// Appends to a fixed buffer, dropping what does not fit.
class LineBuilder {
 public:
  explicit LineBuilder(std::array<char, kLogLineMax>& out) noexcept : out_(out) {}
  void append(std::string_view piece) noexcept {
    const std::size_t n = std::min(piece.size(), out_.size() - length_);
    std::memcpy(out_.data() + length_, piece.data(), n);
    length_ += n;
  }
  void append_number(std::uint64_t value) noexcept {
    char digits[20];
    append({digits, format_decimal(value, digits)});
  }
  std::size_t length() const noexcept { return length_; }

 private:
  std::array<char, kLogLineMax>& out_;
  std::size_t length_ = 0;
};

void write_all_ignoring_errors(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void Logger::set_ident(std::string_view name) noexcept {
  ident_len = static_cast<std::uint8_t>(std::min(name.size(), ident.size()));
  std::memcpy(ident.data(), name.data(), ident_len);
}

Logger& logger() noexcept {
  return g_logger;
}

bool log_enabled(Severity severity) noexcept {
  return static_cast<std::uint8_t>(severity) <= g_logger.level;
}

std::size_t format_log_line(Severity severity, std::string_view text,
                            std::array<char, kLogLineMax>& out) noexcept {
  const pid_t pid = t_log_pid != 0 ? t_log_pid : getpid();
  LineBuilder line(out);
  line.append("<");
  line.append_number(static_cast<std::uint64_t>(g_logger.facility) * 8 +
                     static_cast<std::uint8_t>(severity));
  line.append(">");
  line.append(g_logger.ident_text());
  line.append("[");
  line.append_number(static_cast<std::uint64_t>(pid));
  line.append("]: ");
  line.append(text);
  for (std::size_t i = 0; i < line.length(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte < 0x20 || byte == 0x7F) out[i] = '_';
  }
  return line.length();
}

void log_message(Severity severity, std::string_view text) noexcept {
  if (!log_enabled(severity)) return;
  if (g_logger.to_syslog && t_held.holding && t_log_fd.valid()) {
    if (t_held.count == kHeldLogLines && !t_held.refused) send_held_lines();
    // A receiver that takes none of a full hold loses its oldest line, as
    // a full buffer loses a line sent alone.
    if (t_held.count == kHeldLogLines) drop_first_held(1);
    const std::size_t slot = t_held.count;
    t_held.lengths[slot] = format_log_line(severity, text, t_held.lines[slot]);
    if (t_held.lengths[slot] != 0) ++t_held.count;
    return;
  }
  // Lines held earlier leave first.
  if (t_held.count != 0) flush_log_lines();
  std::array<char, kLogLineMax> buffer;
  std::string_view line(buffer.data(), format_log_line(severity, text, buffer));
  if (g_logger.to_syslog) {
    if (!t_log_fd.valid() || line.empty()) return;
    // One datagram per line; a full buffer (non-blocking socket) loses it.
    (void)::send(t_log_fd.get(), line.data(), line.size(), MSG_NOSIGNAL);
    return;
  }
  if (!line.empty() && line.front() == '<') {
    const auto close = line.find('>');
    if (close != std::string_view::npos) line.remove_prefix(close + 1);
  }
  // Two writes and no lock: concurrent lines may interleave only between a
  // text and its line feed.
  write_all_ignoring_errors(STDERR_FILENO, line);
  write_all_ignoring_errors(STDERR_FILENO, "\n");
}

void open_log_connection() noexcept {
  flush_log_lines();
  t_log_pid = getpid();
  t_log_fd.reset();
  if (!g_logger.to_syslog) return;
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string_view path = syslog_path();
  if (path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return;
  }
  t_log_fd = std::move(fd);
}

void close_log_connection() noexcept {
  flush_log_lines();
  t_log_fd.reset();
}

void hold_log_lines() noexcept {
  t_held.holding = true;
}

void flush_log_lines() noexcept {
  send_held_lines();
  t_held.count = 0;
  t_held.holding = false;
}

std::size_t send_held_log_lines() noexcept {
  send_held_lines();
  return t_held.count;
}

void drop_held_log_lines() noexcept {
  t_held.count = 0;
}

std::size_t held_log_line_count() noexcept {
  return t_held.count;
}

void write_stderr_locked(std::string_view text) noexcept {
  flockfile(stderr);
  write_all_ignoring_errors(STDERR_FILENO, text);
  write_all_ignoring_errors(STDERR_FILENO, "\n");
  funlockfile(stderr);
}

void exit_with_fatal_report(ErrorCode error) noexcept {
  // What the thread holds goes before the report, which goes at once.
  flush_log_lines();
  std::array<char, 256> text{};
  constexpr std::string_view prefix = "fatal: exiting on ";
  const std::string_view name = error_name(error);
  std::string_view message = "fatal: exiting on an error whose name did not fit";
  if (prefix.size() + name.size() <= text.size()) {
    std::memcpy(text.data(), prefix.data(), prefix.size());
    std::memcpy(text.data() + prefix.size(), name.data(), name.size());
    message = std::string_view(text.data(), prefix.size() + name.size());
  }
  log_message(Severity::Err, message);
  std::array<char, 256> line{};
  constexpr std::string_view error_prefix = "error: ";
  const std::size_t n = std::min(name.size(), line.size() - error_prefix.size());
  std::memcpy(line.data(), error_prefix.data(), error_prefix.size());
  std::memcpy(line.data() + error_prefix.size(), name.data(), n);
  write_stderr_locked(std::string_view(line.data(), error_prefix.size() + n));
  std::fflush(stdout);
  std::_Exit(1);
}

namespace log_testing {
void set_syslog_path(std::string_view path) noexcept {
  g_test_syslog_path.fill('\0');
  const std::size_t n = std::min(path.size(), g_test_syslog_path.size() - 1);
  std::memcpy(g_test_syslog_path.data(), path.data(), n);
}
}  // namespace log_testing

}  // namespace tessvane
