// The pid file: refusing a second instance, writing and removing the file.

#include "daemon/pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "child_process.h"
#include "base/file_read.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::LogCapture;
using testing::TempDir;

// A child that stays alive until the test kills it (at most 30 s).
class LiveProcess {
 public:
  LiveProcess() {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::alarm(30);
      for (;;) ::pause();
    }
  }
  ~LiveProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      testing::wait_for_child(pid_);
    }
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The pid of a process that has exited and been reaped.
pid_t stale_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  testing::wait_for_child(pid);
  return pid;
}

std::string refusal(const std::string& path, pid_t pid) {
  return "pid file " + path + " is held by live process " + std::to_string(pid) +
         "; refusing to start a second instance";
}

TEST(CheckPidFile, AbsentFileAllowsStart) {
  TempDir dir;
  EXPECT_TRUE(check_pid_file(dir.file("none.pid")));
  EXPECT_TRUE(check_pid_file(dir.path()));  // a directory reads as an error
}

TEST(CheckPidFile, ContentNamingNoProcessAllowsStart) {
  TempDir dir;
  LogCapture capture;
  const std::string cases[] = {"",
                               "\n",
                               "garbage\n",
                               "0\n",
                               "-0",
                               "-5\n",
                               "-" + std::to_string(::getpid()),
                               "2147483648\n",
                               "12x\n",
                               "1__2\n",
                               std::to_string(stale_pid()) + "\n",
                               std::to_string(::getpid()) + "\n",
                               std::to_string(::getppid()) + "\n"};
  for (const std::string& content : cases) {
    EXPECT_TRUE(check_pid_file(dir.write("t.pid", content))) << content;
  }
  EXPECT_TRUE(capture.take_texts().empty());
}

TEST(CheckPidFile, LiveHolderRefusesStartInEveryWrittenForm) {
  TempDir dir;
  LiveProcess live;
  ASSERT_GT(live.pid(), 0);
  const std::string digits = std::to_string(live.pid());
  const std::string with_separator = digits.substr(0, 1) + "_" + digits.substr(1);
  const std::string cases[] = {digits + "\n", " \t+" + digits + "\r\n", digits,
                               digits.size() > 1 ? with_separator : digits};
  for (const std::string& content : cases) {
    LogCapture capture;
    const std::string path = dir.write("live.pid", content);
    EXPECT_EQ(check_pid_file(path), fail(ErrorCode::AlreadyRunning)) << content;
    EXPECT_EQ(capture.take_texts(), std::vector<std::string>{refusal(path, live.pid())});
  }
}

TEST(CheckPidFile, ReadsOnlyTheFirst32Bytes) {
  TempDir dir;
  LiveProcess live;
  const std::string digits = std::to_string(live.pid());
  // Only the sign falls within the first 32 bytes; read whole, the file
  // would name the live process. (A cut inside the digits would name some
  // other pid, which may or may not be alive.)
  const std::string padded = std::string(31, ' ') + "+" + digits + "\n";
  EXPECT_TRUE(check_pid_file(dir.write("long.pid", padded)));
  const std::string fits = std::string(32 - digits.size(), ' ') + digits + "trailing";
  EXPECT_EQ(check_pid_file(dir.write("fits.pid", fits)), fail(ErrorCode::AlreadyRunning));
}

// A process the probe may not signal (another user's) is taken as alive.
TEST(CheckPidFile, ProcessOfAnotherUserRefusesStart) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to become";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  LiveProcess live;
  const std::string path = dir.write("other.pid", std::to_string(live.pid()) + "\n");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  const auto status = testing::run_as_user(*user, [&] {
    if (::kill(live.pid(), 0) == 0 || errno != EPERM) return 3;
    return check_pid_file(path) == fail(ErrorCode::AlreadyRunning) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST(WritePidFile, WritesThePidAndALineFeedWithMode0644WhateverTheMask) {
  TempDir dir;
  const mode_t old_mask = ::umask(022);
  const std::string path = dir.write("w.pid", "999999999999 left over from an earlier run\n");
  ASSERT_TRUE(write_pid_file(path));
  ::umask(old_mask);
  EXPECT_EQ(read_whole_file(path, 64), std::to_string(::getpid()) + "\n");
  for (const mode_t mask : {mode_t{0}, mode_t{027}, mode_t{077}}) {
    const std::string fresh = dir.file("fresh" + std::to_string(mask) + ".pid");
    ::umask(mask);
    ASSERT_TRUE(write_pid_file(fresh));
    ::umask(old_mask);
    struct stat info {};
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u) << mask;
    // What was written is what the check then reads as this process.
    EXPECT_TRUE(check_pid_file(fresh));
  }
  // No temporary file is left behind.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
    ++entries;
  }
  EXPECT_EQ(entries, 4u);
}

TEST(WritePidFile, BareNameIsRelativeToTheWorkingDirectory) {
  TempDir dir;
  const int saved = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  const Status written = write_pid_file("bare.pid");
  ASSERT_EQ(::fchdir(saved), 0);
  ::close(saved);
  ASSERT_TRUE(written);
  EXPECT_EQ(read_whole_file(dir.file("bare.pid"), 64), std::to_string(::getpid()) + "\n");
}

TEST(WritePidFile, Errors) {
  TempDir dir;
  const std::string long_path = dir.path() + "/" + std::string(1024, 'p');
  EXPECT_EQ(write_pid_file(long_path.substr(0, 1024)), fail(ErrorCode::NameTooLong));
  EXPECT_EQ(write_pid_file(dir.file("missing/t.pid")), fail(ErrorCode::FileNotFound));
  EXPECT_EQ(write_pid_file(dir.write("file", "") + "/t.pid"), fail(ErrorCode::NotDir));
  EXPECT_EQ(write_pid_file(dir.path()), fail(ErrorCode::IsDir));
  EXPECT_EQ(write_pid_file(""), fail(ErrorCode::FileNotFound));
  EXPECT_EQ(write_pid_file(std::string_view("a\0b", 3)), fail(ErrorCode::InvalidPath));
}

// The directory belongs to the unprivileged user: a symbolic or hard link
// planted at the path must not make root write into the file it leads to.
// The link itself is replaced.
TEST(WritePidFile, LinksAtThePathLeaveTheirTargetsAlone) {
  TempDir dir;
  using Plant = int (*)(const char*, const char*);
  const std::pair<std::string, Plant> cases[] = {{"symbolic", ::symlink}, {"hard", ::link}};
  for (const auto& [kind, plant] : cases) {
    const std::string target = dir.write("precious-" + kind, "keep me\n");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string pid_path = dir.file(kind + ".pid");
    ASSERT_EQ(plant(target.c_str(), pid_path.c_str()), 0);
    ASSERT_TRUE(write_pid_file(pid_path)) << kind;
    EXPECT_EQ(read_whole_file(target, 64), "keep me\n") << kind;
    struct stat target_info {};
    ASSERT_EQ(::stat(target.c_str(), &target_info), 0);
    EXPECT_EQ(target_info.st_mode & 07777, 0600u) << kind;
    struct stat pid_info {};
    ASSERT_EQ(::lstat(pid_path.c_str(), &pid_info), 0);
    EXPECT_TRUE(S_ISREG(pid_info.st_mode)) << kind;
    EXPECT_NE(pid_info.st_ino, target_info.st_ino) << kind;
    EXPECT_EQ(read_whole_file(pid_path, 64), std::to_string(::getpid()) + "\n") << kind;
  }
}

// A directory on the way that the user may write to and holding a link:
// the link is not followed.
TEST(WritePidFile, RefusesALinkedDirectoryWhereTheUserWrites) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody";
  TempDir dir;
  const std::string secret = dir.file("secret");
  ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
  const std::string home = dir.file("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::chown(home.c_str(), user->uid, user->gid), 0);
  ASSERT_EQ(::symlink(secret.c_str(), (home + "/run").c_str()), 0);
  EXPECT_EQ(write_pid_file(home + "/run/tessvane.pid"), fail(ErrorCode::SymLinkLoop));
  EXPECT_TRUE(std::filesystem::is_empty(secret));
}

TEST(RemovePidFile, RemovesAndIgnoresErrors) {
  TempDir dir;
  const std::string path = dir.file("r.pid");
  ASSERT_TRUE(write_pid_file(path));
  remove_pid_file(path);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  remove_pid_file(path);  // already gone
  remove_pid_file("");
  remove_pid_file(std::string(2000, 'x'));
  const std::string kept = dir.write("kept", "x");
  remove_pid_file(kept + std::string("\0tail", 5));  // never the shorter name
  EXPECT_EQ(::access(kept.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tessvane
