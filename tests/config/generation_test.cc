// The generation record: counter, acknowledgement table, reload pipes, and
// the worker-side acknowledgement with its reload hook.

#include "config/generation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "config/list_fixture.h"

namespace tessvane {
namespace {

constexpr std::uint64_t kNoTable = std::numeric_limits<std::uint64_t>::max();

TEST(GenerationRecord, CountsFromZeroByOne) {
  GenerationRecord record;
  EXPECT_EQ(record.generation(), 0u);
  EXPECT_EQ(record.advance(), 1u);
  EXPECT_EQ(record.advance(), 2u);
  EXPECT_EQ(record.generation(), 2u);
}

TEST(GenerationRecord, SlotsStartAtTheGenerationOfTheirCreation) {
  GenerationRecord record;
  EXPECT_EQ(record.min_acknowledged(), kNoTable);
  record.advance();
  record.advance();
  auto pipes = record.set_up_workers(3);
  ASSERT_TRUE(pipes.has_value());
  ASSERT_EQ(pipes->size(), 3u);
  EXPECT_EQ(record.worker_count(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(record.acknowledged(i), 2u);
    const UniqueFd& fd = (*pipes)[i];
    ASSERT_TRUE(fd.valid());
    EXPECT_NE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
  }
  EXPECT_EQ(record.min_acknowledged(), 2u);
}

TEST(GenerationRecord, TheSmallestAcknowledgementCounts) {
  GenerationRecord record;
  auto pipes = record.set_up_workers(3);
  ASSERT_TRUE(pipes.has_value());
  record.acknowledge(0, 7);
  record.acknowledge(2, 5);
  EXPECT_EQ(record.min_acknowledged(), 0u);
  record.acknowledge(1, 6);
  EXPECT_EQ(record.min_acknowledged(), 5u);
  record.acknowledge(3, 1);  // no such worker: ignored
  EXPECT_EQ(record.min_acknowledged(), 5u);
  EXPECT_EQ(record.acknowledged(1), 6u);
}

TEST(GenerationRecord, WakeWritesTheByteOneToEveryWorker) {
  GenerationRecord record;
  auto pipes = record.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  for (const auto& fd : *pipes) EXPECT_EQ(testing::drain_pipe(fd), "");
  record.wake_workers();
  for (const auto& fd : *pipes) EXPECT_EQ(testing::drain_pipe(fd), std::string(1, '\1'));
}

TEST(GenerationRecord, WakeDoesNotBlockOnAFullPipe) {
  GenerationRecord record;
  auto pipes = record.set_up_workers(1);
  ASSERT_TRUE(pipes.has_value());
  // More wake-ups than any pipe buffer holds: the calls return, and the
  // surplus is dropped.
  constexpr std::size_t kWakeUps = 1 << 17;  // twice a 64 KiB pipe buffer
  for (std::size_t i = 0; i < kWakeUps; ++i) record.wake_workers();
  const std::string bytes = testing::drain_pipe((*pipes)[0]);
  EXPECT_GT(bytes.size(), 0u);
  EXPECT_LT(bytes.size(), kWakeUps);
  EXPECT_EQ(bytes.find_first_not_of('\1'), std::string::npos);
}

TEST(GenerationRecord, ReleaseClosesThePipesAndDropsTheTable) {
  GenerationRecord record;
  auto pipes = record.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  record.release();
  EXPECT_EQ(record.worker_count(), 0u);
  EXPECT_EQ(record.min_acknowledged(), kNoTable);
  char byte;
  for (const auto& fd : *pipes) EXPECT_EQ(::read(fd.get(), &byte, 1), 0);  // end of file
}

TEST(AcknowledgeGeneration, StoresTheGenerationAndRunsTheHookOncePerChange) {
  GenerationRecord record;
  record.advance();
  auto pipes = record.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  int reloads = 0;
  WorkerGeneration worker(record, 1, [&reloads] { ++reloads; });
  EXPECT_EQ(worker.last_generation, 1u);

  acknowledge_generation(worker);
  EXPECT_EQ(reloads, 0);
  EXPECT_EQ(record.acknowledged(1), 1u);

  // Several reloads between two loop tops trigger one call.
  record.advance();
  record.advance();
  record.advance();
  acknowledge_generation(worker);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(worker.last_generation, 4u);
  EXPECT_EQ(record.acknowledged(1), 4u);
  EXPECT_EQ(record.acknowledged(0), 1u);

  acknowledge_generation(worker);
  EXPECT_EQ(reloads, 1);
  record.advance();
  acknowledge_generation(worker);
  EXPECT_EQ(reloads, 2);
}

TEST(AcknowledgeGeneration, AWorkerWithoutASlotStillRunsItsHook) {
  GenerationRecord record;
  int reloads = 0;
  WorkerGeneration worker(record, 4, [&reloads] { ++reloads; });
  record.advance();
  acknowledge_generation(worker);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(record.min_acknowledged(), kNoTable);
}

}  // namespace
}  // namespace tessvane
