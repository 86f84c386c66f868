#include "daemon/pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "base/number.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "base/c_path.h"
#include "log/logger.h"

namespace tessvane {
namespace {

static_assert(kPidFilePathMax == kCPathMax);

constexpr std::string_view kPidTrim = " \t\r\n";
constexpr mode_t kPidFileMode = 0666;  // reduced by the file-creation mask

// The first kPidFileReadMax bytes of the file, or none when it cannot be
// opened or read. Non-blocking, so that a FIFO placed at the path cannot
// hang start-up.
std::optional<std::string> read_pid_text(std::string_view path) {
  auto c_path = CPath::from(path);
  if (!c_path) return std::nullopt;
  UniqueFd fd(::openat(AT_FDCWD, c_path->get(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::nullopt;
  std::array<char, kPidFileReadMax> buffer{};
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t n = ::read(fd.get(), buffer.data() + filled, buffer.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return std::string(buffer.data(), filled);
}

// A process id as the file states it: a positive signed 32-bit decimal.
std::optional<pid_t> parse_pid(std::string_view text) {
  auto value = parse_signed64(trim(text, kPidTrim));
  if (!value || *value <= 0 || *value > INT32_MAX) return std::nullopt;
  return static_cast<pid_t>(*value);
}

// Whether pid names a process that is not this one or its parent (the
// starting command, when start-up re-checks after a fork). Any probe failure
// other than "no such process" counts as alive: a process of another user
// answers EPERM and must still stop a second instance.
bool held_by_other_process(pid_t pid) {
  if (pid == ::getpid() || pid == ::getppid()) return false;
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(error_from_errno(errno));
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

Status check_pid_file(std::string_view path) {
  const auto text = read_pid_text(path);
  if (!text) return {};
  const auto pid = parse_pid(*text);
  if (!pid || !held_by_other_process(*pid)) return {};
  if (log_enabled(Severity::Err)) {
    log_message(Severity::Err, cat("pid file ", path, " is held by live process ", *pid,
                                   "; refusing to start a second instance"));
  }
  return fail(ErrorCode::AlreadyRunning);
}

// O_NOFOLLOW: the directory may belong to the unprivileged user, and a
// symbolic link planted there must not make a start as root truncate the
// file it points to. O_NONBLOCK keeps a FIFO at the path from hanging.
Status write_pid_file(std::string_view path) {
  auto c_path = CPath::from(path);
  if (!c_path) return fail(c_path.error());
  UniqueFd fd(::openat(
      AT_FDCWD, c_path->get(),
      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, kPidFileMode));
  if (!fd) return fail(error_from_errno(errno));
  char digits[20];
  const std::size_t length = format_decimal(static_cast<std::uint64_t>(::getpid()), digits);
  std::array<char, sizeof digits + 1> line{};
  std::memcpy(line.data(), digits, length);
  line[length] = '\n';
  return write_all(fd.get(), std::string_view(line.data(), length + 1));
}

void remove_pid_file(std::string_view path) noexcept {
  auto c_path = CPath::from(path);
  if (c_path) ::unlinkat(AT_FDCWD, c_path->get(), 0);
}

}  // namespace tessvane
