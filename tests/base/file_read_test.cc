// The whole-file reader behind the configuration and list loaders.

#include "base/file_read.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::TempDir;

TEST(ReadWholeFile, ReturnsTheBytesUpToTheLimit) {
  TempDir dir;
  const std::string content("a\0b\r\n", 5);
  const std::string path = dir.write("f", content);
  EXPECT_EQ(read_whole_file(path, 5), content);
  EXPECT_EQ(read_whole_file(path, 4), fail(ErrorCode::FileTooBig));
  EXPECT_EQ(read_whole_file(dir.write("empty", ""), 0), std::string());
}

TEST(ReadWholeFile, ReadsMoreThanOneChunk) {
  TempDir dir;
  std::string content;
  for (int i = 0; content.size() < 300000; ++i) content += std::to_string(i) + "\n";
  EXPECT_EQ(read_whole_file(dir.write("f", content), content.size()), content);
}

TEST(ReadWholeFile, RefusesAPathWithANulByte) {
  TempDir dir;
  const std::string path = dir.write("f", "x");
  EXPECT_EQ(read_whole_file(path + std::string(1, '\0') + "ignored"), fail(ErrorCode::InvalidPath));
}

TEST(ReadWholeFile, AFifoWithoutWriterDoesNotBlock) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A blocking open would wait here for a writer forever.
  EXPECT_EQ(read_whole_file(fifo), std::string());
}

TEST(ReadWholeFile, ReadsACharacterDevice) {
  EXPECT_EQ(read_whole_file("/dev/null"), std::string());
}

// Root reading on behalf of another account gets only what that account could
// read by the file's mode bits: owner first, then group, then others.
TEST(ReadRegularFile, OnBehalfOfAReaderFollowsItsPermissions) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  constexpr uid_t kUid = 4242;
  constexpr gid_t kGid = 4343;
  const FileReader reader{kUid, kGid};
  struct Case {
    const char* name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool readable;
  };
  const Case cases[] = {
      {"root_only", 0, 0, 0600, false},
      {"world_readable", 0, 0, 0644, true},
      {"owned_by_reader", kUid, 0, 0600, true},
      {"owner_without_read_despite_others", kUid, 0, 0044, false},
      {"group_readable", 0, kGid, 0640, true},
      {"group_without_read_despite_others", 0, kGid, 0604, false},
      {"other_group", 0, 0, 0640, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.write(c.name, "192.0.2.1\n");
    ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const auto read = read_regular_file(path, kMaxTextFileBytes, &reader);
    if (c.readable) {
      EXPECT_EQ(read, std::string("192.0.2.1\n")) << c.name;
    } else {
      EXPECT_EQ(read, fail(ErrorCode::AccessDenied)) << c.name;
    }
    // Without a reader root reads everything, as before.
    EXPECT_TRUE(read_regular_file(path).has_value()) << c.name;
  }
}

// A hard link planted to a root-only file is that file: refused for the reader.
TEST(ReadRegularFile, AHardLinkToARootOnlyFileIsRefusedForTheReader) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  const std::string secret = dir.write("secret", "root only\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const std::string planted = dir.file("whitelist");
  ASSERT_EQ(::link(secret.c_str(), planted.c_str()), 0);
  const FileReader reader{4242, 4343};
  EXPECT_EQ(read_regular_file(planted, kMaxTextFileBytes, &reader), fail(ErrorCode::AccessDenied));
}

}  // namespace
}  // namespace tessvane
