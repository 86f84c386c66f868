// Daemonizing and the readiness handshake between the daemon and the
// command that started it.

#include "daemon/daemonize.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "base/file_read.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::TempDir;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Pipe make_pipe() {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(WaitForReadiness, ExitStatusFollowsWhatTheDaemonWrote) {
  struct Case {
    const char* name;
    std::string written;  // what the daemon writes before closing
    bool close_write_end;
    int status;
  };
  const Case cases[] = {
      {"ready byte", "K", true, 0},
      {"ready byte, pipe kept open", "K", false, 0},
      {"ready byte then more", "KK", true, 0},
      {"closed without a byte", "", true, 1},
      {"another byte", "X", true, 1},
      {"lower-case k", "k", true, 1},
      {"silent until the time-out", "", false, 1},
  };
  for (const Case& c : cases) {
    Pipe pipe = make_pipe();
    ASSERT_EQ(::write(pipe.write_end.get(), c.written.data(), c.written.size()),
              static_cast<ssize_t>(c.written.size()));
    if (c.close_write_end) pipe.write_end.reset();
    EXPECT_EQ(wait_for_readiness(std::move(pipe.read_end), 50), c.status) << c.name;
  }
}

TEST(WaitForReadiness, AnInvalidDescriptorFails) {
  EXPECT_EQ(wait_for_readiness(UniqueFd(), 10), 1);
}

TEST(NotifyReady, WritesTheReadyByteAndCloses) {
  Pipe pipe = make_pipe();
  notify_ready(std::move(pipe.write_end));
  char bytes[4];
  EXPECT_EQ(::read(pipe.read_end.get(), bytes, sizeof bytes), 1);
  EXPECT_EQ(bytes[0], kReadyByte);
  EXPECT_EQ(::read(pipe.read_end.get(), bytes, sizeof bytes), 0);  // closed
}

// What the daemon process records about itself, one fact per line, before it
// reports readiness (or dies without doing so).
// The daemon is the second child: in a session of its own, which the first
// child started, but not its leader, so it can never gain a controlling
// terminal.
std::string describe_daemon(int write_end, const std::string& started_in, mode_t started_mask,
                            pid_t started_session) {
  struct stat null_info {};
  ::stat("/dev/null", &null_info);
  std::string facts;
  const pid_t session = ::getsid(0);
  facts += session != started_session && session != ::getpid() ? "own session, not its leader\n"
                                                               : "wrong session\n";
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat info {};
    const bool on_null =
        ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == null_info.st_rdev;
    const int flags = ::fcntl(fd, F_GETFD);
    facts += on_null ? "null" : "other";
    facts += flags >= 0 && (flags & FD_CLOEXEC) == 0 ? " inheritable\n" : " close-on-exec\n";
  }
  const int flags = ::fcntl(write_end, F_GETFD);
  facts += flags >= 0 && (flags & FD_CLOEXEC) != 0 ? "pipe close-on-exec\n" : "pipe inheritable\n";
  char cwd[4096];
  facts += ::getcwd(cwd, sizeof cwd) != nullptr && started_in == cwd ? "same cwd\n" : "moved\n";
  const mode_t mask = ::umask(0);
  facts += mask == started_mask ? "same umask\n" : "new umask\n";
  return facts;
}

enum class DaemonEnd { Ready, Dies, WrongByte };

// Forks the starting command, which daemonizes; the daemon writes its facts to
// facts_path and ends as asked. Returns the starting command's exit status.
std::optional<int> start_daemon(const std::string& facts_path, DaemonEnd end,
                                bool close_stdin = false) {
  return testing::run_in_child([&] {
    if (close_stdin) ::close(STDIN_FILENO);
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return 3;
    const pid_t session = ::getsid(0);
    const mode_t mask = ::umask(027);
    ::umask(mask);
    auto write_end = daemonize();
    if (!write_end) return 2;  // only the starting command sees an early failure
    const std::string facts = describe_daemon(write_end->get(), cwd, mask, session);
    const int out = ::open(facts_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
      (void)!::write(out, facts.data(), facts.size());
      ::close(out);
    }
    if (end == DaemonEnd::Ready) notify_ready(std::move(*write_end));
    if (end == DaemonEnd::WrongByte) (void)!::write(write_end->get(), "X", 1);
    ::_exit(0);
  });
}

constexpr std::string_view kDetachedFacts =
    "own session, not its leader\n"
    "null inheritable\n"
    "null inheritable\n"
    "null inheritable\n"
    "pipe close-on-exec\n"
    "same cwd\n"
    "same umask\n";

TEST(Daemonize, StartingCommandExitsZeroOnceTheDaemonIsReady) {
  TempDir dir;
  const std::string facts = dir.file("facts");
  EXPECT_EQ(start_daemon(facts, DaemonEnd::Ready), 0);
  // The facts were written before the ready byte, so they are complete now.
  const auto written = read_whole_file(facts, 4096);
  ASSERT_TRUE(written) << error_name(written.error());
  EXPECT_EQ(*written, kDetachedFacts);
}

TEST(Daemonize, StartingCommandExitsOneWhenTheDaemonDiesUnready) {
  TempDir dir;
  EXPECT_EQ(start_daemon(dir.file("facts"), DaemonEnd::Dies), 1);
  EXPECT_EQ(start_daemon(dir.file("facts"), DaemonEnd::WrongByte), 1);
}

// /dev/null then lands on descriptor 0 itself, which must still end up
// inheritable like the other two standard streams.
TEST(Daemonize, ClosedStandardInputIsReplacedToo) {
  TempDir dir;
  const std::string facts = dir.file("facts");
  EXPECT_EQ(start_daemon(facts, DaemonEnd::Ready, true), 0);
  const auto written = read_whole_file(facts, 4096);
  ASSERT_TRUE(written) << error_name(written.error());
  EXPECT_EQ(*written, kDetachedFacts);
}

}  // namespace
}  // namespace tessvane
