// The start-up load and the SIGHUP reload of the two address lists, with
// their log lines, generation numbers and the wake-up of the workers.

#include "config/list_reload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "config/list_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::LogCapture;
using testing::TempDir;
using testing::TestMemory;

using Texts = std::vector<std::string>;

class ListReloadTest : public ::testing::Test {
 protected:
  // One SIGHUP as the signal loop runs it: whitelist, trusted relays, wake-up.
  void sighup() {
    bool changed = reload_list(whitelist_, whitelist_path_, kWhitelistName);
    changed = reload_list(relays_, relays_path_, kTrustedRelaysName) || changed;
    finish_reload(record_, changed);
  }
  void start_up() {
    load_list(whitelist_, whitelist_path_, kWhitelistName);
    load_list(relays_, relays_path_, kTrustedRelaysName);
  }
  // Two workers whose reload hooks count into reloads_.
  void set_up_two_workers() {
    auto pipes = record_.set_up_workers(2);
    ASSERT_TRUE(pipes.has_value());
    pipes_ = std::move(*pipes);
    workers_.reserve(2);
    for (std::size_t i = 0; i < 2; ++i) workers_.emplace_back(record_, i, [this] { ++reloads_; });
  }
  std::string whitelisted(std::size_t generation, std::size_t awaiting) const {
    return "whitelist reloaded from " + *whitelist_path_ + " (generation " +
           std::to_string(generation) + ", " + std::to_string(awaiting) + " awaiting reclamation)";
  }
  std::string relayed(std::size_t generation, std::size_t awaiting) const {
    return "trusted relays reloaded from " + *relays_path_ + " (generation " +
           std::to_string(generation) + ", " + std::to_string(awaiting) + " awaiting reclamation)";
  }

  TempDir dir_;
  LogCapture log_;
  TestMemory memory_;
  GenerationRecord record_;
  ListHolder whitelist_{record_, memory_};
  ListHolder relays_{record_, memory_};
  std::optional<std::string> whitelist_path_ = dir_.write("whitelist", "192.0.2.1\n");
  std::optional<std::string> relays_path_ = dir_.write("relays", "198.51.100.0/24\n");
  std::vector<UniqueFd> pipes_;
  std::vector<WorkerGeneration> workers_;
  int reloads_ = 0;
};

TEST_F(ListReloadTest, StartUpPublishesEachReadableListAndCountsOneGenerationEach) {
  start_up();
  EXPECT_EQ(record_.generation(), 2u);
  ASSERT_NE(whitelist_.current(), nullptr);
  ASSERT_NE(relays_.current(), nullptr);
  EXPECT_TRUE(address_list_contains(*whitelist_.current(), "192.0.2.1"));
  EXPECT_TRUE(address_list_contains(*relays_.current(), "198.51.100.77"));
  EXPECT_EQ(log_.take_texts(), Texts{});
}

TEST_F(ListReloadTest, NoPathMeansNoListAndNoGeneration) {
  whitelist_path_.reset();
  relays_path_.reset();
  start_up();
  EXPECT_EQ(whitelist_.current(), nullptr);
  EXPECT_EQ(relays_.current(), nullptr);
  EXPECT_EQ(record_.generation(), 0u);
  EXPECT_FALSE(reload_list(whitelist_, whitelist_path_, kWhitelistName));
  EXPECT_EQ(record_.generation(), 0u);
  EXPECT_EQ(log_.take_texts(), Texts{});
}

TEST_F(ListReloadTest, StartUpFailuresLeaveTheListEmpty) {
  const std::string missing = dir_.file("missing");
  load_list(whitelist_, missing, kWhitelistName);
  memory_.fail_allocation(0);  // the box
  load_list(relays_, relays_path_, kTrustedRelaysName);
  EXPECT_EQ(log_.take_texts(),
            (Texts{"failed to load whitelist: " + missing + ": error.FileNotFound",
                   "failed to box trusted relays " + *relays_path_ + ": error.OutOfMemory"}));
  memory_.fail_allocation(1);  // the retired table, after the box
  load_list(whitelist_, whitelist_path_, kWhitelistName);
  EXPECT_EQ(log_.take_texts(),
            Texts{"failed to publish whitelist " + *whitelist_path_ + ": error.OutOfMemory"});
  EXPECT_EQ(whitelist_.current(), nullptr);
  EXPECT_EQ(relays_.current(), nullptr);
  EXPECT_EQ(record_.generation(), 0u);
  EXPECT_EQ(memory_.boxes_live(), 0u);
}

TEST_F(ListReloadTest, SighupWithoutListsAdvancesTheGenerationItself) {
  whitelist_path_.reset();
  relays_path_.reset();
  start_up();
  set_up_two_workers();

  sighup();
  EXPECT_EQ(log_.take_texts(), Texts{"config generation advanced to 1"});
  for (const auto& fd : pipes_) EXPECT_EQ(testing::drain_pipe(fd), "");  // nobody is woken
  for (auto& worker : workers_) acknowledge_generation(worker);
  EXPECT_EQ(reloads_, 2);
  EXPECT_EQ(record_.min_acknowledged(), 1u);

  sighup();
  EXPECT_EQ(log_.take_texts(), Texts{"config generation advanced to 2"});
}

TEST_F(ListReloadTest, SighupRepublishesBothListsAndWakesTheWorkers) {
  start_up();
  set_up_two_workers();

  sighup();
  EXPECT_EQ(log_.take_texts(), (Texts{whitelisted(3, 1), relayed(4, 1)}));
  for (const auto& fd : pipes_) EXPECT_EQ(testing::drain_pipe(fd), std::string(1, '\1'));
  EXPECT_EQ(memory_.boxes_released(), 0u);

  for (auto& worker : workers_) acknowledge_generation(worker);
  EXPECT_EQ(reloads_, 2);
  sighup();  // the start-up boxes go; those of the first SIGHUP wait
  EXPECT_EQ(log_.take_texts(), (Texts{whitelisted(5, 1), relayed(6, 1)}));
  EXPECT_EQ(memory_.boxes_released(), 2u);
  EXPECT_EQ(memory_.boxes_live(), 4u);
}

// A SIGHUP storm while one worker is busy: up to the bound every reload is
// published and its replaced list waits; beyond it the newest list waits
// unpublished, alone, and goes out once the busy worker moves on.
TEST_F(ListReloadTest, ABusyWorkerBoundsTheListsKeptDuringASighupStorm) {
  relays_path_.reset();
  start_up();
  auto pipes = record_.set_up_workers(2);
  ASSERT_TRUE(pipes.has_value());
  WorkerGeneration idle(record_, 0, nullptr);
  WorkerGeneration busy(record_, 1, nullptr);
  const std::size_t bound = ListHolder::kMaxRetired;
  for (std::size_t i = 1; i <= bound; ++i) {
    sighup();
    acknowledge_generation(idle);
    EXPECT_EQ(log_.take_texts(), Texts{whitelisted(1 + i, i)});
  }
  const AddressList* last_published = whitelist_.current();
  for (std::size_t i = 1; i <= 100; ++i) {
    dir_.write("whitelist", "203.0.113." + std::to_string(i) + "\n");
    sighup();
    acknowledge_generation(idle);
    EXPECT_EQ(log_.take_texts(),
              (Texts{"reload: whitelist from " + *whitelist_path_ + " held back while " +
                         std::to_string(bound) + " replaced lists await reclamation",
                     "config generation advanced to " + std::to_string(1 + bound + i)}));
  }
  EXPECT_EQ(whitelist_.current(), last_published);
  EXPECT_EQ(memory_.boxes_live(), bound + 2);  // current, retired, held back

  EXPECT_FALSE(publish_held_list(whitelist_, whitelist_path_, kWhitelistName));
  acknowledge_generation(busy);
  EXPECT_TRUE(publish_held_list(whitelist_, whitelist_path_, kWhitelistName));
  EXPECT_EQ(log_.take_texts(), Texts{whitelisted(2 + bound + 100, 1)});
  EXPECT_TRUE(address_list_contains(*whitelist_.current(), "203.0.113.100"));
  EXPECT_FALSE(whitelist_.holds_back());
  EXPECT_EQ(memory_.boxes_live(), 2u);
}

// The file deleted, or replaced by something that is no list file: the
// warning names why, and the old list stays in force.
TEST_F(ListReloadTest, AListThatCannotBeReReadStaysInForce) {
  relays_path_.reset();
  start_up();
  const AddressList* before = whitelist_.current();
  const std::string& path = *whitelist_path_;
  const std::pair<std::string, ErrorCode> cases[] = {
      {"deleted", ErrorCode::FileNotFound},
      {"fifo", ErrorCode::NotRegularFile},
      {"directory", ErrorCode::IsDir},
  };
  std::uint64_t generation = record_.generation();
  for (const auto& [replacement, error] : cases) {
    ::unlink(path.c_str());
    ::rmdir(path.c_str());
    if (replacement == "fifo") {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else if (replacement == "directory") {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    sighup();
    EXPECT_EQ(log_.take_texts(),
              (Texts{"reload: failed to re-read whitelist " + path + ": error." +
                         std::string(error_name(error)) + ", keeping previous",
                     "config generation advanced to " + std::to_string(++generation)}))
        << replacement;
    EXPECT_EQ(whitelist_.current(), before) << replacement;
  }
  EXPECT_TRUE(address_list_contains(*whitelist_.current(), "192.0.2.1"));
}

TEST_F(ListReloadTest, OutOfMemoryOnReloadKeepsThePreviousList) {
  relays_path_.reset();
  start_up();
  auto pipes = record_.set_up_workers(1);
  ASSERT_TRUE(pipes.has_value());
  const AddressList* before = whitelist_.current();
  memory_.fail_allocation(0);
  EXPECT_FALSE(reload_list(whitelist_, whitelist_path_, kWhitelistName));
  EXPECT_EQ(log_.take_texts(), Texts{"reload: out of memory boxing whitelist, keeping previous"});
  EXPECT_EQ(whitelist_.current(), before);

  // A list first published by a reload needs its retired table then.
  ListHolder late{record_, memory_};
  const std::uint64_t generation = record_.generation();
  memory_.fail_allocation(1);  // the table, after the box
  EXPECT_FALSE(reload_list(late, whitelist_path_, kWhitelistName));
  EXPECT_EQ(log_.take_texts(),
            Texts{"reload: out of memory publishing whitelist, keeping previous"});
  EXPECT_EQ(late.current(), nullptr);
  EXPECT_EQ(record_.generation(), generation);
  EXPECT_EQ(memory_.boxes_live(), 1u);
}

TEST_F(ListReloadTest, AnEvaluationFinishesWithTheListsItStartedWith) {
  start_up();
  auto pipes = record_.set_up_workers(1);
  ASSERT_TRUE(pipes.has_value());
  WorkerGeneration worker(record_, 0, nullptr);
  acknowledge_generation(worker);
  const AddressList* in_use = whitelist_.current();  // a message starts

  dir_.write("whitelist", "203.0.113.5\n");
  sighup();
  sighup();
  EXPECT_FALSE(address_list_contains(*whitelist_.current(), "192.0.2.1"));
  EXPECT_TRUE(address_list_contains(*in_use, "192.0.2.1"));  // still whole
  EXPECT_EQ(memory_.boxes_released(), 0u);

  acknowledge_generation(worker);  // the next loop top: the message is done
  sighup();
  EXPECT_EQ(memory_.boxes_released(), 4u);  // both start-up boxes and the first reloads
  EXPECT_EQ(memory_.boxes_live(), 4u);
}

TEST(ConfiguredLists, UseTheProcessWideHolders) {
  TempDir dir;
  LogCapture log;
  Settings config;
  config.whitelist_file = dir.write("whitelist", "192.0.2.1\n");
  config.trusted_relays_file = dir.write("relays", "2001:db8::/32\n");
  const std::uint64_t start = generation_record().generation();

  load_configured_lists(config);
  EXPECT_EQ(generation_record().generation(), start + 2);
  ASSERT_NE(whitelist_holder().current(), nullptr);
  ASSERT_NE(trusted_relays_holder().current(), nullptr);
  EXPECT_TRUE(address_list_contains(*whitelist_holder().current(), "192.0.2.1"));
  EXPECT_TRUE(address_list_contains(*trusted_relays_holder().current(), "2001:db8::25"));

  // Without workers nothing waits for reclamation.
  reload_configured_lists(config);
  EXPECT_EQ(log.take_texts(),
            (Texts{"whitelist reloaded from " + *config.whitelist_file + " (generation " +
                       std::to_string(start + 3) + ", 0 awaiting reclamation)",
                   "trusted relays reloaded from " + *config.trusted_relays_file + " (generation " +
                       std::to_string(start + 4) + ", 0 awaiting reclamation)"}));

  release_configured_lists();
  EXPECT_EQ(whitelist_holder().current(), nullptr);
  EXPECT_EQ(trusted_relays_holder().current(), nullptr);
  reload_configured_lists(Settings{});
  EXPECT_EQ(log.take_texts(), Texts{"config generation advanced to " + std::to_string(start + 5)});
}

}  // namespace
}  // namespace tessvane
