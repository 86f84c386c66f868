// The timer queue of an event loop: deadline order, cancellation, the wait
// it asks for, and handlers that add or cancel timers while firing.

#include "base/timer_queue.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace tessvane {
namespace {

struct Recorder final : TimerHandler {
  Recorder(std::vector<int>& fired, int id) : log(fired), name(id) {}
  void on_timer() noexcept override {
    log.push_back(name);
    if (on_fire) on_fire();
  }
  std::vector<int>& log;
  int name;
  std::function<void()> on_fire;
};

TEST(TimerQueue, FiresDueTimersInDeadlineOrderAndSkipsCancelledOnes) {
  std::vector<int> log;
  Recorder a(log, 1), b(log, 2), c(log, 3), d(log, 4);
  TimerQueue timers;
  timers.add(30, c);
  const TimerId cancelled = timers.add(10, b);
  timers.add(5, a);
  timers.add(100, d);
  timers.cancel(cancelled);
  timers.cancel(TimerId{});  // names no timer
  EXPECT_EQ(timers.next_deadline(), 5);
  timers.fire_due(30);
  EXPECT_EQ(log, (std::vector<int>{1, 3}));
  EXPECT_EQ(timers.size(), 1u);
  timers.cancel(cancelled);  // already gone: nothing happens
  EXPECT_EQ(timers.size(), 1u);
}

TEST(TimerQueue, WaitIsBoundedByTheNearestDeadlineAndTheCap) {
  std::vector<int> log;
  Recorder a(log, 1);
  TimerQueue timers;
  EXPECT_EQ(timers.wait_ms(1000, std::nullopt), std::nullopt);
  EXPECT_EQ(timers.wait_ms(1000, 500), 500);
  timers.add(1200, a);
  EXPECT_EQ(timers.wait_ms(1000, std::nullopt), 200);
  EXPECT_EQ(timers.wait_ms(1000, 50), 50);
  EXPECT_EQ(timers.wait_ms(1300, std::nullopt), 0);
}

TEST(TimerQueue, HandlersMayAddAndCancelWhileFiring) {
  std::vector<int> log;
  Recorder first(log, 1), second(log, 2), again(log, 3);
  TimerQueue timers;
  TimerId second_id = timers.add(20, second);
  // The first handler cancels the second and re-arms at a deadline that is
  // already due: that one waits for the next call instead of spinning.
  first.on_fire = [&] {
    timers.cancel(second_id);
    timers.add(0, again);
  };
  timers.add(10, first);
  timers.fire_due(50);
  EXPECT_EQ(log, (std::vector<int>{1}));
  timers.fire_due(50);
  EXPECT_EQ(log, (std::vector<int>{1, 3}));
  EXPECT_EQ(timers.size(), 0u);
}

}  // namespace
}  // namespace tessvane
