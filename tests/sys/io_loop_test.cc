// The loop side of waiting code: a descriptor closed during a pass ignores
// the rest of that pass's events even when a new descriptor with its number
// is watched meanwhile, and the small loop routes real readiness and fires
// its timers.

#include "sys/io_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/unique_fd.h"

namespace tessvane::sys {
namespace {

struct Counter final : IoHandler {
  int events = 0;
  void on_io(const Event&) noexcept override { ++events; }
};

struct Alarm final : TimerHandler {
  bool fired = false;
  void on_timer() noexcept override { fired = true; }
};

TEST(EventRouter, EventsOfAClosedDescriptorStayWithItForTheRestOfThePass) {
  EventRouter router;
  Counter old_owner, new_owner;
  const Event event{7, true, false, false, false};
  router.add(7, old_owner);
  router.begin_pass();
  EXPECT_EQ(router.route(event), &old_owner);
  // Closed, and the number taken again, within the same pass.
  router.remove(7);
  router.add(7, new_owner);
  EXPECT_EQ(router.route(event), nullptr);
  // Kept events handed out later in the pass were fetched after the change.
  EXPECT_EQ(router.route_carried(event), &new_owner);
  router.begin_pass();
  EXPECT_EQ(router.route(event), &new_owner);
  // Retiring a descriptor that has no handler here (a connection) works the same.
  router.retire(9);
  EXPECT_TRUE(router.retired(9));
}

TEST(LocalLoop, RoutesReadinessAndFiresTimers) {
  auto loop = LocalLoop::create();
  ASSERT_TRUE(loop.has_value());
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
  UniqueFd reader(fds[0]), writer(fds[1]);
  Counter counter;
  ASSERT_TRUE((*loop)->watch(reader.get(), Interest::ReadEdge, counter));
  Alarm alarm;
  (*loop)->timers().add(monotonic_ms() + 20, alarm);
  ASSERT_EQ(write(writer.get(), "x", 1), 1);
  for (int pass = 0; pass < 50 && (counter.events == 0 || !alarm.fired); ++pass) {
    ASSERT_TRUE((*loop)->run_once());
  }
  EXPECT_GE(counter.events, 1);
  EXPECT_TRUE(alarm.fired);
  (*loop)->unwatch(reader.get());
}

}  // namespace
}  // namespace tessvane::sys
