// The open-file limit the daemon asks for and how it is set.

#include "daemon/open_files.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "child_process.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::LogCapture;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(FdLimitRequest, CountsEveryWorkersDescriptors) {
  EXPECT_EQ(fd_limit_request(4, 256, 1), 1104u);
  EXPECT_EQ(fd_limit_request(1, 0, 0), 67u);
  EXPECT_EQ(fd_limit_request(0, 256, 1), 64u);
  EXPECT_EQ(fd_limit_request(kMax, 1, 1), kMax);
  EXPECT_EQ(fd_limit_request(2, kMax, 1), kMax);
  EXPECT_EQ(fd_limit_request(1, kMax - 3, 0), kMax);
}

std::string expected_line(const rlimit& limits, std::uint64_t requested) {
  return "file descriptor limit set to " + std::to_string(limits.rlim_cur) + " (requested " +
         std::to_string(requested) + ", hard max " +
         std::to_string(static_cast<std::int64_t>(limits.rlim_max)) + ")";
}

// Limits are process-wide: each case runs in a child of its own.
class FdLimit : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &start_), 0); }

  // Runs raise_fd_limit(requested) in a child that first sets the limits to
  // `before`; checks there that the soft limit became expect_soft and that
  // the one log line reports it.
  void expect_soft_limit(rlimit before, std::uint64_t requested, std::uint64_t expect_soft) {
    const auto status = testing::run_in_child([&] {
      if (::setrlimit(RLIMIT_NOFILE, &before) != 0) return 2;
      LogCapture capture;
      raise_fd_limit(requested);
      rlimit after{};
      if (::getrlimit(RLIMIT_NOFILE, &after) != 0) return 3;
      if (static_cast<std::uint64_t>(after.rlim_cur) != expect_soft) return 4;
      if (after.rlim_max != before.rlim_max) return 5;
      const std::vector<std::string> expected{expected_line(after, requested)};
      return capture.take_texts() == expected ? 0 : 6;
    });
    EXPECT_EQ(status, 0) << "requested " << requested;
  }

  rlimit start_{};
};

TEST_F(FdLimit, RaisesTheSoftLimitToTheRequest) {
  if (start_.rlim_max < 2048) GTEST_SKIP() << "hard limit below 2048";
  expect_soft_limit({512, start_.rlim_max}, 1104, 1104);
}

TEST_F(FdLimit, LowersASoftLimitAboveTheRequest) {
  if (start_.rlim_max < 2048) GTEST_SKIP() << "hard limit below 2048";
  expect_soft_limit({2048, start_.rlim_max}, 1104, 1104);
}

TEST_F(FdLimit, StopsAtTheHardLimit) {
  if (start_.rlim_max < 1024) GTEST_SKIP() << "hard limit below 1024";
  expect_soft_limit({256, 1024}, 1 << 20, 1024);
  expect_soft_limit({256, 1024}, 1024, 1024);
}

}  // namespace
}  // namespace tessvane
