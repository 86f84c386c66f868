// The whole-file reader behind the configuration and list loaders.

#include "base/file_read.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace
}  // namespace tessvane
