#include "check/program_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/clock.h"
#include "base/unique_fd.h"

extern char** environ;

namespace tessvane::testing {
namespace {

constexpr std::int64_t kRunLimitMs = 60'000;

// Reads both pipes until both are closed or the time is up; false on time-out.
bool drain(UniqueFd& out_fd, UniqueFd& err_fd, ProgramRun& run) {
  const std::int64_t deadline = wall_clock_ms() + kRunLimitMs;
  while (out_fd.valid() || err_fd.valid()) {
    const std::int64_t left = deadline - wall_clock_ms();
    if (left <= 0) return false;
    pollfd fds[2] = {{out_fd.valid() ? out_fd.get() : -1, POLLIN, 0},
                     {err_fd.valid() ? err_fd.get() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      UniqueFd& fd = i == 0 ? out_fd : err_fd;
      char buffer[4096];
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fd.reset();
      }
    }
  }
  return true;
}

}  // namespace

std::string check_program_path() {
  return std::string(TESSVANE_BINARY_DIR) + "/src/check/tessvane-check";
}

ProgramRun run_check_program(const std::vector<std::string>& args) {
  ProgramRun run;
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return run;
  }
  UniqueFd out_read(out_pipe[0]);
  UniqueFd out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return run;
  }
  UniqueFd err_read(err_pipe[0]);
  UniqueFd err_write(err_pipe[1]);

  const std::string program = check_program_path();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  out_write.reset();
  err_write.reset();
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return run;
  }
  if (!drain(out_read, err_read, run)) {
    ADD_FAILURE() << program << " did not finish within " << kRunLimitMs << " ms";
    ::kill(pid, SIGKILL);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return run;
}

}  // namespace tessvane::testing
