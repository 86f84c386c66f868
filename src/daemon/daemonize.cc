#include "daemon/daemonize.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/clock.h"

namespace tessvane {
namespace {

constexpr int kExitReady = 0;
constexpr int kExitFailed = 1;

ErrorCode pipe_error(int err) noexcept {
  if (err == EMFILE) return ErrorCode::ProcessFdQuotaExceeded;
  if (err == ENFILE) return ErrorCode::SystemFdQuotaExceeded;
  return ErrorCode::Unexpected;
}

// fork fails for want of processes or memory; neither is the caller's fault.
ErrorCode fork_error(int err) noexcept {
  if (err == EAGAIN || err == ENOMEM) return ErrorCode::SystemResources;
  return ErrorCode::Unexpected;
}

Result<pid_t> fork_process() noexcept {
  // Buffered output left in stdio would otherwise be written once per process.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return fail(fork_error(errno));
  return pid;
}

// Puts /dev/null on descriptors 0, 1 and 2. They stay inheritable (dup2 clears
// close-on-exec), including the one open() itself landed on when a standard
// stream was closed before.
Status detach_standard_streams() noexcept {
  UniqueFd null_fd(::openat(AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!null_fd) return fail(error_from_errno(errno));
  for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
    if (target == null_fd.get()) {
      if (::fcntl(target, F_SETFD, 0) != 0) return fail(error_from_errno(errno));
      continue;
    }
    while (::dup2(null_fd.get(), target) < 0) {
      if (errno != EINTR) return fail(error_from_errno(errno));
    }
  }
  if (null_fd.get() <= STDERR_FILENO) null_fd.release();
  return {};
}

// Milliseconds left until deadline_ms, never negative.
int remaining_ms(std::int64_t deadline_ms) noexcept {
  const std::int64_t left = deadline_ms - wall_clock_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

// poll() on the one descriptor rather than a kqueue: the wait is the same on
// every platform, and a single descriptor needs no event queue.
int wait_for_readiness(UniqueFd read_end, int timeout_ms) noexcept {
  const std::int64_t deadline_ms = wall_clock_ms() + timeout_ms;
  pollfd entry{read_end.get(), POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, remaining_ms(deadline_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return kExitFailed;
  char byte = 0;
  ssize_t n = 0;
  do {
    n = ::read(read_end.get(), &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 && byte == kReadyByte ? kExitReady : kExitFailed;
}

Result<UniqueFd> daemonize() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return fail(pipe_error(errno));
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);

  auto first = fork_process();
  if (!first) return fail(first.error());
  if (*first > 0) {
    write_end.reset();
    ::_exit(wait_for_readiness(std::move(read_end), kReadinessWaitMs));
  }

  read_end.reset();
  // A fresh child is never a process-group leader, so setsid cannot refuse;
  // should it, the daemon would keep the terminal, which is worth stopping for.
  if (::setsid() < 0) return fail(error_from_errno(errno));
  auto second = fork_process();
  if (!second) return fail(second.error());
  if (*second > 0) ::_exit(kExitReady);

  auto detached = detach_standard_streams();
  if (!detached) return fail(detached.error());
  return write_end;
}

void notify_ready(UniqueFd write_end) noexcept {
  if (!write_end) return;
  const char byte = kReadyByte;
  while (::write(write_end.get(), &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace tessvane
