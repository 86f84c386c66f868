// Readers on several threads take both published boxes, use them and
// acknowledge at their loop tops while the main thread republishes many
// times. Every release first overwrites the box's sentinel entry, so a box
// released while a reader could still hold it shows up as a wrong sentinel
// (and as a race under ThreadSanitizer, a use after free under
// AddressSanitizer).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "config/list_fixture.h"
#include "config/list_holder.h"

namespace tessvane {
namespace {

using testing::TestMemory;

constexpr std::size_t kReaders = 4;
constexpr std::size_t kPublishesPerList = 5000;
constexpr std::size_t kSyncEvery = 100;       // publishes between two waits for the readers
constexpr std::int64_t kTimeLimitMs = 10000;  // a safety bound; a run takes far less
const Ip4Addr kSentinel{{198, 51, 100, 7}};
const Ip4Addr kScribbled{{0, 0, 0, 0}};
constexpr std::size_t kEntries = 16;

std::atomic<std::size_t> g_scribbled_releases{0};

void scribbling_release(std::pmr::memory_resource& memory, AddressList* box) noexcept {
  for (auto& entry : box->entries) entry = kScribbled;
  g_scribbled_releases.fetch_add(1);
  ListHolder::release_box(memory, box);
}

AddressList sentinel_list(std::size_t serial) {
  AddressList list;
  list.entries.push_back(kSentinel);
  for (std::size_t i = 1; i < kEntries; ++i) {
    list.entries.push_back(Ip4Network{
        Ip4Addr{{10, static_cast<std::uint8_t>(serial % 256), static_cast<std::uint8_t>(i), 0}},
        24});
  }
  return list;
}

// Checks a box as a message evaluation would use it.
bool box_is_whole(const AddressList* box) {
  if (box == nullptr) return true;
  if (box->entries.size() != kEntries || box->entries.front() != ListEntry{kSentinel}) {
    return false;
  }
  return address_list_contains(*box, "198.51.100.7") && !address_list_contains(*box, "203.0.113.1");
}

struct Shared {
  GenerationRecord record;
  TestMemory memory;
  ListHolder whitelist{record, memory, &scribbling_release};
  ListHolder relays{record, memory, &scribbling_release};
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> broken{0};
  std::atomic<std::size_t> iterations{0};
};

void reader(Shared& shared, std::size_t index) {
  WorkerGeneration worker(shared.record, index, nullptr);
  const std::int64_t deadline = wall_clock_ms() + kTimeLimitMs;
  while (!shared.stop.load() && wall_clock_ms() < deadline) {
    acknowledge_generation(worker);
    const AddressList* whitelist = shared.whitelist.current();
    const AddressList* relays = shared.relays.current();
    // Hold the boxes across a yield, as an evaluation holds them across its
    // work, so that a premature release has a window to strike.
    for (int use = 0; use < 3; ++use) {
      if (!box_is_whole(whitelist) || !box_is_whole(relays)) shared.broken.fetch_add(1);
      std::this_thread::yield();
    }
    shared.iterations.fetch_add(1);
  }
}

// Waits, bounded, until every reader has acknowledged the current generation.
bool readers_caught_up(const Shared& shared) {
  const std::uint64_t target = shared.record.generation();
  const std::int64_t deadline = wall_clock_ms() + kTimeLimitMs;
  while (shared.record.min_acknowledged() < target) {
    if (wall_clock_ms() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ListStress, NoBoxIsReleasedWhileAReaderCanHoldIt) {
  g_scribbled_releases.store(0);
  Shared shared;
  auto pipes = shared.record.set_up_workers(kReaders);
  ASSERT_TRUE(pipes.has_value());
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < kReaders; ++i) readers.emplace_back(reader, std::ref(shared), i);

  std::size_t serial = 0;
  bool caught_up = true;
  for (std::size_t round = 0; round < kPublishesPerList && caught_up; ++round) {
    for (ListHolder* holder : {&shared.whitelist, &shared.relays}) {
      auto box = holder->box(sentinel_list(serial++));
      ASSERT_TRUE(box.has_value());
      ASSERT_TRUE(holder->publish(std::move(*box)).has_value());
    }
    if (round % kSyncEvery == kSyncEvery - 1) {
      // Everything retired before this point is now reclaimable: the next
      // publish of each holder must leave at most the box it replaces.
      caught_up = readers_caught_up(shared);
      for (ListHolder* holder : {&shared.whitelist, &shared.relays}) {
        auto box = holder->box(sentinel_list(serial++));
        ASSERT_TRUE(box.has_value());
        ASSERT_TRUE(holder->publish(std::move(*box)).has_value());
        EXPECT_LE(holder->retired_count(), 1u);
      }
    }
  }
  shared.stop.store(true);
  for (auto& thread : readers) thread.join();

  EXPECT_TRUE(caught_up);
  EXPECT_EQ(shared.broken.load(), 0u);
  EXPECT_GT(shared.iterations.load(), 0u);
  EXPECT_EQ(shared.record.generation(), serial);
  const std::size_t retired = shared.whitelist.retired_count() + shared.relays.retired_count();
  EXPECT_EQ(g_scribbled_releases.load() + retired + 2, serial);
  shared.whitelist.release_all();
  shared.relays.release_all();
  EXPECT_EQ(g_scribbled_releases.load(), serial);
  EXPECT_EQ(shared.memory.boxes_live(), 0u);
}

}  // namespace
}  // namespace tessvane
