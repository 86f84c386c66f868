// Runtime directories: created 0755 when missing, handed to the owner.

#include "daemon/runtime_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::LogCapture;
using testing::TempDir;

TEST(ContainingDir, IsThePathWithoutItsLastComponent) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"/var/run/tessvane/tessvane.pid", "/var/run/tessvane"},
      {"/tessvane.pid", "/"},
      {"//tessvane.pid", "/"},
      {"/var/run//tessvane.pid", "/var/run"},
      {"/var/run/tessvane/", "/var/run"},
      {"run/milter.sock", "run"},
      {"./milter.sock", "."},
      {"tessvane.pid", std::nullopt},
      {"tessvane.pid/", std::nullopt},
      {"/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [path, dir] : cases) {
    const auto found = containing_dir(path);
    EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, dir) << path;
  }
}

class RuntimeDir : public ::testing::Test {
 protected:
  void SetUp() override { old_mask_ = ::umask(077); }
  void TearDown() override { ::umask(old_mask_); }

  struct stat info_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
  }

  TempDir dir_;
  LogCapture capture_;
  mode_t old_mask_ = 0;
};

// The file-creation mask (077 here) does not narrow the new directory.
TEST_F(RuntimeDir, CreatesTheMissingDirectoryWithMode0755) {
  const std::string run = dir_.file("run");
  prepare_runtime_dir(run + "/tessvane.pid", std::nullopt);
  const struct stat info = info_of(run);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{});
}

// A directory that was there may be a system one (/var/run) or the MTA's:
// start-up never hands it to the daemon's user.
TEST_F(RuntimeDir, ExistingDirectoryKeepsItsModeAndOwner) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody";
  const std::string run = dir_.file("run");
  ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
  prepare_runtime_dir(run + "/milter.sock", Owner{user->uid, user->gid});
  const struct stat info = info_of(run);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, 0u);
  EXPECT_EQ(capture_.take_texts(),
            std::vector<std::string>{"runtime directory " + run + " is not writable by uid " +
                                     std::to_string(user->uid) + ": " + run +
                                     "/milter.sock cannot be created or removed there once "
                                     "privileges are dropped"});
  // One the user may write to is taken as it is, without a word.
  ASSERT_EQ(::chmod(run.c_str(), 01777), 0);
  prepare_runtime_dir(run + "/milter.sock", Owner{user->uid, user->gid});
  EXPECT_EQ(info_of(run).st_uid, 0u);
  EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{});
}

// The runtime directory replaced by a link to a directory only root may
// use: nothing is done through the link, and the walk refuses a link in a
// directory the user can write to.
TEST_F(RuntimeDir, LinksWhereTheUserWritesAreNotFollowed) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody";
  const std::string secret = dir_.file("secret");
  ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
  const std::string home = dir_.file("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::chown(home.c_str(), user->uid, user->gid), 0);
  const std::string run = home + "/run";
  ASSERT_EQ(::symlink(secret.c_str(), run.c_str()), 0);
  const std::string via_link = home + "/link";
  ASSERT_EQ(::symlink(secret.c_str(), via_link.c_str()), 0);
  const std::string cases[] = {run + "/tessvane.pid", via_link + "/sub/milter.sock"};
  const std::string warnings[] = {"open " + run + ": error.SymLinkLoop",
                                  "mkdir " + via_link + "/sub: error.SymLinkLoop"};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    prepare_runtime_dir(cases[i], Owner{user->uid, user->gid});
    EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{warnings[i]}) << cases[i];
  }
  const struct stat info = info_of(secret);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_NE(::access((secret + "/sub").c_str(), F_OK), 0);
}

// A link that only root can have placed (/var/run -> /run) is followed.
TEST_F(RuntimeDir, LinksOnlyRootCouldPlaceAreFollowed) {
  const std::string target = dir_.file("target");
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  const std::string link = dir_.file("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  prepare_runtime_dir(link + "/run/tessvane.pid", std::nullopt);
  EXPECT_TRUE(S_ISDIR(info_of(target + "/run").st_mode));
  EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{});
}

TEST_F(RuntimeDir, NewDirectoryTakesTheOwnerToo) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to own the directory";
  const std::string run = dir_.file("run");
  prepare_runtime_dir(run + "/tessvane.pid", Owner{user->uid, user->gid});
  const struct stat info = info_of(run);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(info.st_uid, user->uid);
}

// Only one level is created; the missing parent is a warning, not a failure.
TEST_F(RuntimeDir, MissingParentIsAWarning) {
  const std::string dir = dir_.file("missing/run");
  prepare_runtime_dir(dir + "/tessvane.pid", std::nullopt);
  EXPECT_EQ(capture_.take_texts(),
            std::vector<std::string>{"mkdir " + dir + ": error.FileNotFound"});
  EXPECT_NE(::access(dir_.file("missing").c_str(), F_OK), 0);
}

TEST_F(RuntimeDir, BareFileNameHasNoDirectory) {
  prepare_runtime_dir("tessvane.pid", Owner{0, 0});
  EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{});
}

// Such a name fills the whole log line, so only the start of the warning
// survives the cut at 1024 bytes.
TEST_F(RuntimeDir, TooLongDirectoryNameIsAWarning) {
  const std::string dir = dir_.path() + "/" + std::string(kRuntimeDirMax, 'd');
  prepare_runtime_dir(dir + "/tessvane.pid", Owner{::getuid(), ::getgid()});
  const std::vector<std::string> texts = capture_.take_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].starts_with("mkdir " + dir.substr(0, 900))) << texts[0];
}

TEST_F(RuntimeDir, FileInTheWayIsReported) {
  const std::string file = dir_.write("run", "");
  prepare_runtime_dir(file + "/tessvane.pid", std::nullopt);
  EXPECT_EQ(capture_.take_texts(), std::vector<std::string>{"open " + file + ": error.NotDir"});
}

TEST_F(RuntimeDir, ChownRefusedToAnOrdinaryUserIsAWarning) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to become";
  const std::string home = dir_.file("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::chown(home.c_str(), user->uid, user->gid), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  const std::string run = home + "/run";
  const auto status = testing::run_as_user(*user, [&] {
    LogCapture capture;
    prepare_runtime_dir(run + "/tessvane.pid", Owner{0, 0});
    return capture.take_texts() == std::vector<std::string>{"chown " + run + ": error.AccessDenied"}
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace tessvane
