#include "base/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tessvane {
namespace {

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceAndSurvivesSelfMove) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  const int raw = fds[0];
  {
    UniqueFd a(fds[0]);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
    auto& alias = b;
    b = std::move(alias);
    EXPECT_EQ(b.get(), raw);
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw));

  UniqueFd w(fds[1]);
  const int released = w.release();
  EXPECT_FALSE(w.valid());
  EXPECT_TRUE(is_open(released));
  close(released);
}

}  // namespace
}  // namespace tessvane
