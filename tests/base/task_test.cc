// The coroutine task type: results and exceptions travel to the awaiting
// coroutine, a root task tells its observer when it ends, and destroying a
// suspended chain destroys every frame in it (which is how a pending
// evaluation is cancelled).

#include "base/task.h"

#include <gtest/gtest.h>

#include <coroutine>
#include <new>
#include <string>
#include <vector>

namespace tessvane {
namespace {

// An awaiter that parks its coroutine until resume_all(); it notes its own
// destruction so that cancellation can be seen.
struct Gate {
  std::vector<std::coroutine_handle<>> parked;
  int destroyed_waits = 0;

  struct Wait {
    Gate& gate;
    bool resumed = false;
    ~Wait() {
      if (!resumed) ++gate.destroyed_waits;
    }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) { gate.parked.push_back(handle); }
    void await_resume() noexcept { resumed = true; }
  };
  Wait wait() { return Wait{*this}; }
  void resume_all() {
    std::vector<std::coroutine_handle<>> now;
    now.swap(parked);
    for (auto handle : now) handle.resume();
  }
};

Task<int> leaf(Gate& gate, int value) {
  co_await gate.wait();
  co_return value;
}

Task<int> nested(Gate& gate, int depth) {
  if (depth == 0) co_return co_await leaf(gate, 1);
  const int below = co_await nested(gate, depth - 1);
  co_return below + 1;
}

Task<int> throws_after_wait(Gate& gate) {
  co_await gate.wait();
  throw std::bad_alloc();
}

Task<std::string> catches(Gate& gate) {
  try {
    const int value = co_await throws_after_wait(gate);
    co_return std::to_string(value);
  } catch (const std::bad_alloc&) {
    co_return "out of memory";
  }
}

struct Observer final : TaskObserver {
  int calls = 0;
  void task_finished() noexcept override { ++calls; }
};

TEST(Task, ResultsTravelUpADeepChainOnceTheLeafIsResumed) {
  Gate gate;
  // Far deeper than any evaluation (at most 11 levels).
  Task<int> task = nested(gate, 1000);
  Observer observer;
  task.start(&observer);
  EXPECT_FALSE(task.done());
  EXPECT_EQ(observer.calls, 0);
  ASSERT_EQ(gate.parked.size(), 1u);
  gate.resume_all();
  ASSERT_TRUE(task.done());
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(task.take_result(), 1001);
}

TEST(Task, AnExceptionReachesTheAwaitingCoroutine) {
  Gate gate;
  Task<std::string> task = catches(gate);
  task.start(nullptr);
  gate.resume_all();
  ASSERT_TRUE(task.done());
  EXPECT_EQ(task.take_result(), "out of memory");
}

TEST(Task, DestroyingASuspendedChainDestroysTheWaitingAwaiter) {
  Gate gate;
  Observer observer;
  {
    Task<int> task = nested(gate, 3);
    task.start(&observer);
    ASSERT_EQ(gate.parked.size(), 1u);
  }
  EXPECT_EQ(gate.destroyed_waits, 1);
  EXPECT_EQ(observer.calls, 0);
}

TEST(Task, ATaskThatNeverWaitsEndsInsideStart) {
  Gate gate;
  Observer observer;
  auto immediate = []() -> Task<int> { co_return 7; };
  Task<int> task = immediate();
  task.start(&observer);
  EXPECT_TRUE(task.done());
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(task.take_result(), 7);
}

}  // namespace
}  // namespace tessvane
