// Publishing boxes and reclaiming the replaced ones once every worker has
// acknowledged a generation at least as new as their tag.

#include "config/list_holder.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/list_fixture.h"

namespace tessvane {
namespace {

using testing::list_of_ip4;
using testing::publish_ip4;
using testing::TestMemory;

class ListHolderTest : public ::testing::Test {
 protected:
  TestMemory memory_;
  GenerationRecord record_;
  ListHolder holder_{record_, memory_};
};

TEST_F(ListHolderTest, StartsEmpty) {
  EXPECT_EQ(holder_.current(), nullptr);
  EXPECT_EQ(holder_.retired_count(), 0u);
  EXPECT_EQ(&holder_.record(), &record_);
}

TEST_F(ListHolderTest, PublishSwapsTheBoxInAndAdvancesTheGeneration) {
  const AddressList* first = publish_ip4(holder_, 1);
  EXPECT_EQ(holder_.current(), first);
  EXPECT_EQ(record_.generation(), 1u);
  EXPECT_TRUE(address_list_contains(*holder_.current(), "192.0.2.1"));

  // Before the workers exist nobody can hold a box: the old one goes at once.
  const AddressList* second = publish_ip4(holder_, 2);
  EXPECT_EQ(holder_.current(), second);
  EXPECT_EQ(record_.generation(), 2u);
  EXPECT_EQ(holder_.retired_count(), 0u);
  EXPECT_EQ(memory_.boxes_released(), 1u);
}

TEST_F(ListHolderTest, ARetiredBoxGoesOnceEveryWorkerAcknowledgedItsTag) {
  auto pipes = record_.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  publish_ip4(holder_, 1);  // generation 1, nothing replaced
  publish_ip4(holder_, 2);  // generation 2: box 1 retired with tag 2
  EXPECT_EQ(holder_.retired_count(), 1u);

  record_.acknowledge(0, 2);
  record_.acknowledge(1, 1);
  publish_ip4(holder_, 3);  // tag 3 for box 2; min ack 1 keeps both
  EXPECT_EQ(holder_.retired_count(), 2u);
  EXPECT_EQ(memory_.boxes_released(), 0u);

  record_.acknowledge(1, 2);
  publish_ip4(holder_, 4);  // min ack 2 = tag of box 1: released
  EXPECT_EQ(holder_.retired_count(), 2u);
  EXPECT_EQ(memory_.boxes_released(), 1u);

  record_.acknowledge(0, 4);
  record_.acknowledge(1, 4);
  publish_ip4(holder_, 5);  // tags 3 and 4 go; box 4 stays with tag 5
  EXPECT_EQ(holder_.retired_count(), 1u);
  EXPECT_EQ(memory_.boxes_released(), 3u);
  EXPECT_EQ(memory_.boxes_live(), 2u);
}

TEST_F(ListHolderTest, AWorkerThatNeverAcknowledgesKeepsEveryReplacedBox) {
  auto pipes = record_.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  WorkerGeneration busy(record_, 0, nullptr);
  std::vector<const AddressList*> boxes;
  for (std::uint8_t i = 0; i < 30; ++i) {
    boxes.push_back(publish_ip4(holder_, i));
    acknowledge_generation(busy);
    EXPECT_EQ(holder_.retired_count(), i);
  }
  EXPECT_EQ(memory_.boxes_released(), 0u);
  for (std::uint8_t i = 0; i < 30; ++i) {
    EXPECT_TRUE(address_list_contains(*boxes[i], "192.0.2." + std::to_string(i)));
  }

  WorkerGeneration silent(record_, 1, nullptr);
  acknowledge_generation(silent);
  publish_ip4(holder_, 30);
  EXPECT_EQ(holder_.retired_count(), 1u);
  EXPECT_EQ(memory_.boxes_released(), 29u);
}

// Offers beyond the bound are held back, the newest alone; a later offer
// with room supersedes what is held back, and so does the held-back box's own
// publication once the busy worker acknowledged.
TEST_F(ListHolderTest, OffersBeyondTheBoundAreHeldBackNewestFirst) {
  auto pipes = record_.set_up_workers(1);
  ASSERT_TRUE(pipes.has_value());
  WorkerGeneration worker(record_, 0, nullptr);
  auto offer = [&](std::uint8_t octet) {
    auto box = holder_.box(list_of_ip4(octet));
    EXPECT_TRUE(box.has_value());
    auto offered = holder_.offer(std::move(*box));
    EXPECT_TRUE(offered.has_value());
    return offered.value_or(ListHolder::Offered::HeldBack);
  };
  EXPECT_EQ(offer(0), ListHolder::Offered::Published);
  for (std::uint8_t i = 1; i <= ListHolder::kMaxRetired; ++i) {
    EXPECT_EQ(offer(i), ListHolder::Offered::Published);
  }
  const std::uint64_t generation = record_.generation();
  for (std::uint8_t i = 10; i < 60; ++i) EXPECT_EQ(offer(i), ListHolder::Offered::HeldBack);
  EXPECT_TRUE(holder_.holds_back());
  EXPECT_EQ(record_.generation(), generation);
  EXPECT_EQ(memory_.boxes_live(), ListHolder::kMaxRetired + 2);
  EXPECT_EQ(holder_.publish_held(), Result<bool>(false));

  acknowledge_generation(worker);
  EXPECT_EQ(holder_.publish_held(), Result<bool>(true));
  EXPECT_TRUE(address_list_contains(*holder_.current(), "192.0.2.59"));
  EXPECT_FALSE(holder_.holds_back());
  EXPECT_EQ(holder_.publish_held(), Result<bool>(false));

  // Held back, then superseded by an offer that finds room.
  for (std::uint8_t i = 60; i < 60 + ListHolder::kMaxRetired; ++i) offer(i);
  EXPECT_EQ(offer(70), ListHolder::Offered::HeldBack);
  acknowledge_generation(worker);
  EXPECT_EQ(offer(71), ListHolder::Offered::Published);
  EXPECT_FALSE(holder_.holds_back());
  EXPECT_TRUE(address_list_contains(*holder_.current(), "192.0.2.71"));
  holder_.release_all();
  EXPECT_EQ(memory_.boxes_live(), 0u);
}

TEST_F(ListHolderTest, BoxingWithoutMemoryLeavesTheListWithTheCaller) {
  AddressList list = list_of_ip4(9);
  memory_.fail_allocation(0);
  EXPECT_EQ(holder_.box(std::move(list)).error(), ErrorCode::OutOfMemory);
  EXPECT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(memory_.boxes_allocated(), 0u);
}

TEST_F(ListHolderTest, PublishWithoutRoomToRetireChangesNothing) {
  auto box = holder_.box(list_of_ip4(1));
  ASSERT_TRUE(box.has_value());
  memory_.fail_allocation(0);
  EXPECT_EQ(holder_.publish(std::move(*box)).error(), ErrorCode::OutOfMemory);
  EXPECT_EQ(holder_.current(), nullptr);
  EXPECT_EQ(record_.generation(), 0u);
  EXPECT_EQ(memory_.boxes_live(), 0u);  // the refused box was released
}

TEST_F(ListHolderTest, PublishFailsWhenTheRetiredTableCannotGrow) {
  auto pipes = record_.set_up_workers(1);  // a worker that never acknowledges
  ASSERT_TRUE(pipes.has_value());
  // The table first grows to 8; the ninth retired box needs more room.
  const AddressList* last = nullptr;
  for (std::uint8_t i = 0; i < 9; ++i) last = publish_ip4(holder_, i);
  ASSERT_EQ(holder_.retired_count(), 8u);
  auto box = holder_.box(list_of_ip4(99));
  ASSERT_TRUE(box.has_value());
  memory_.fail_allocation(0);
  EXPECT_EQ(holder_.publish(std::move(*box)).error(), ErrorCode::OutOfMemory);
  EXPECT_EQ(holder_.current(), last);
  EXPECT_EQ(record_.generation(), 9u);
  EXPECT_EQ(holder_.retired_count(), 8u);
  EXPECT_EQ(memory_.boxes_live(), 9u);

  publish_ip4(holder_, 100);  // with memory again, the table grows
  EXPECT_EQ(holder_.retired_count(), 9u);
  EXPECT_EQ(record_.generation(), 10u);
}

TEST_F(ListHolderTest, PublishRefusesAnEmptyBox) {
  ListHolder::Box empty(nullptr, ListHolder::BoxDeleter(memory_, &ListHolder::release_box));
  EXPECT_EQ(holder_.publish(std::move(empty)).error(), ErrorCode::InvalidArgument);
  EXPECT_EQ(record_.generation(), 0u);
}

TEST_F(ListHolderTest, ReleaseAllFreesTheRetiredAndTheCurrentBoxes) {
  auto pipes = record_.set_up_workers(1);
  ASSERT_TRUE(pipes.has_value());
  for (std::uint8_t i = 0; i < 3; ++i) publish_ip4(holder_, i);
  EXPECT_EQ(holder_.retired_count(), 2u);
  holder_.release_all();
  EXPECT_EQ(holder_.current(), nullptr);
  EXPECT_EQ(holder_.retired_count(), 0u);
  EXPECT_EQ(memory_.boxes_live(), 0u);
}

TEST(ListHolder, TheProcessWideHoldersShareTheProcessWideRecord) {
  EXPECT_EQ(&whitelist_holder().record(), &generation_record());
  EXPECT_EQ(&trusted_relays_holder().record(), &generation_record());
  EXPECT_NE(&whitelist_holder(), &trusted_relays_holder());
}

}  // namespace
}  // namespace tessvane
