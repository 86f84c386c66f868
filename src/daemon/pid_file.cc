#include "daemon/pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>

#include "base/number.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "base/c_path.h"
#include "daemon/dir_walk.h"
#include "daemon/runtime_dirs.h"
#include "log/logger.h"

namespace tessvane {
namespace {

static_assert(kPidFilePathMax == kCPathMax);

constexpr std::string_view kPidTrim = " \t\r\n";
constexpr mode_t kPidFileMode = 0644;  // whatever the file-creation mask says
// A name taken by someone else is passed over; this many tries, then the
// write fails with the last error.
constexpr int kTemporaryNameTries = 8;

// The first kPidFileReadMax bytes of the file, or none when it cannot be
// opened or read. Non-blocking, so that a FIFO placed at the path cannot
// hang start-up.
std::optional<std::string> read_pid_text(std::string_view path) {
  auto c_path = CPath::from(path);
  if (!c_path) return std::nullopt;
  UniqueFd fd(::openat(AT_FDCWD, c_path->get(),
                       O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
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

// The directory of path, opened so that no link redirects it, and the
// file's name in it.
struct PidFilePlace {
  UniqueFd dir;
  CPath name;
};

Result<PidFilePlace> place_of(std::string_view path) {
  auto checked = CPath::from(path);
  if (!checked) return fail(checked.error());
  const std::string_view name = last_component(path);
  if (name.empty()) return fail(path.empty() ? ErrorCode::FileNotFound : ErrorCode::IsDir);
  auto dir = open_dir_no_redirect(containing_dir(path).value_or("."));
  if (!dir) return fail(dir.error());
  auto c_name = CPath::from(name);
  return PidFilePlace{std::move(*dir), *c_name};
}

std::uint64_t random_suffix() noexcept {
  try {
    std::random_device source;
    return (std::uint64_t{source()} << 32) ^ source();
  } catch (...) {
    return static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15u;
  }
}

constexpr std::string_view kTemporaryPrefix = ".tessvane-pid.";
// The prefix, up to 20 decimal digits and the terminating NUL.
using TemporaryName = std::array<char, kTemporaryPrefix.size() + 21>;

// A file that did not exist before, under a name of its own in dir.
Result<UniqueFd> create_temporary(int dir, TemporaryName& name) {
  int err = EEXIST;
  for (int attempt = 0; attempt < kTemporaryNameTries && err == EEXIST; ++attempt) {
    char digits[20];
    const std::size_t length = format_decimal(random_suffix(), digits);
    name.fill('\0');
    std::memcpy(name.data(), kTemporaryPrefix.data(), kTemporaryPrefix.size());
    std::memcpy(name.data() + kTemporaryPrefix.size(), digits, length);
    UniqueFd fd(::openat(dir, name.data(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                         kPidFileMode));
    if (fd) return fd;
    err = errno;
  }
  return fail(error_from_errno(err));
}

Status fill_pid_file(int fd) {
  if (::fchmod(fd, kPidFileMode) != 0) return fail(error_from_errno(errno));
  char digits[20];
  const std::size_t length = format_decimal(static_cast<std::uint64_t>(::getpid()), digits);
  std::array<char, sizeof digits + 1> line{};
  std::memcpy(line.data(), digits, length);
  line[length] = '\n';
  return write_all(fd, std::string_view(line.data(), length + 1));
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

// The directory may belong to the unprivileged user, who may have planted a
// symbolic or hard link at the path: root never opens an existing file
// there. The pid goes into a new file under a temporary name, which then
// replaces whatever the path named (the entry, not the file it leads to).
Status write_pid_file(std::string_view path) {
  auto place = place_of(path);
  if (!place) return fail(place.error());
  const int dir = place->dir.get();
  TemporaryName temporary{};
  auto fd = create_temporary(dir, temporary);
  if (!fd) return fail(fd.error());
  Status filled = fill_pid_file(fd->get());
  fd->reset();
  if (filled && ::renameat(dir, temporary.data(), dir, place->name.get()) != 0) {
    filled = fail(error_from_errno(errno));
  }
  if (!filled) ::unlinkat(dir, temporary.data(), 0);
  return filled;
}

void remove_pid_file(std::string_view path) noexcept {
  auto place = place_of(path);
  if (place) ::unlinkat(place->dir.get(), place->name.get(), 0);
}

}  // namespace tessvane
