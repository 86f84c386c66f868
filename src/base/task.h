#pragma once
// Task<T>: a lazily started coroutine that produces one T. A task is either
// awaited by another coroutine (co_await std::move(task), or co_await of the
// call itself), which resumes the awaiting coroutine when the task ends, by
// symmetric transfer so that deep chains of nested tasks do not grow the
// stack; or it is the root of a chain, started with start() and watched by a
// TaskObserver that hears when it has ended.
//
// Ownership: the Task object owns the coroutine frame. Destroying a Task
// whose coroutine is suspended destroys its frame, and with it every task it
// is awaiting and every awaiter inside them: that is how a pending chain is
// cancelled. Awaiters that registered themselves somewhere undo that in their
// destructors.
//
// Parameters are taken by the coroutine as declared: references and views
// must outlive the task. Every task of the engine is awaited in the
// expression that creates it, so the caller's arguments do.
//
// An exception escaping a coroutine (only std::bad_alloc in this system) is
// kept and thrown again where the task is awaited, or by take_result().
//
// Take every awaited result in a declaration of its own (auto x = co_await
// ...;): g++ 12 loses the chain when a coroutine suspends at a co_await
// inside the condition of an if.

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace tessvane {

// Told when a started root task reaches its end. task_finished runs while the
// coroutine is suspended at its end; it may destroy the task, but must not
// resume anything.
class TaskObserver {
 public:
  virtual void task_finished() noexcept = 0;

 protected:
  ~TaskObserver() = default;
};

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(Handle handle) noexcept {
      promise_type& promise = handle.promise();
      if (promise.continuation) return promise.continuation;
      if (promise.observer != nullptr) promise.observer->task_finished();
      return std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };

  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    std::coroutine_handle<> continuation;
    TaskObserver* observer = nullptr;

    Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() const noexcept { return {}; }
    FinalAwaiter final_suspend() const noexcept { return {}; }
    template <typename U>
    void return_value(U&& result) {
      value.emplace(std::forward<U>(result));
    }
    void unhandled_exception() noexcept { error = std::current_exception(); }
  };

  struct Awaiter {
    Handle handle;
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
      handle.promise().continuation = awaiting;
      return handle;
    }
    T await_resume() { return take(handle); }
  };

  Task() noexcept = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  Awaiter operator co_await() && noexcept { return Awaiter{handle_}; }

  // Runs a root task until its first suspension (or its end). The observer,
  // if any, is told when it ends, also when that happens inside this call.
  void start(TaskObserver* observer) noexcept {
    handle_.promise().observer = observer;
    handle_.resume();
  }

  bool valid() const noexcept { return static_cast<bool>(handle_); }
  bool done() const noexcept { return handle_ && handle_.done(); }
  // The result of an ended task; the exception it ended with is thrown.
  T take_result() { return take(handle_); }
  // Destroys the frame, cancelling whatever the task was waiting for.
  void reset() noexcept {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

 private:
  explicit Task(Handle handle) noexcept : handle_(handle) {}

  static T take(Handle handle) {
    promise_type& promise = handle.promise();
    if (promise.error) std::rethrow_exception(promise.error);
    return std::move(*promise.value);
  }

  Handle handle_;
};

}  // namespace tessvane
