#pragma once
// Waiting for one non-blocking socket of a DNS exchange inside a coroutine:
// co_await readable(deadline) or writable(deadline) suspends until the loop
// reports that readiness or the deadline (monotonic milliseconds) passes, and
// gives true for readiness, false for the deadline. Readiness is
// edge-triggered: the owner reads or writes until the socket would block
// before it waits again; readiness reported while nobody waits is kept for
// the next wait.
//
// The watch is registered for reading when it is made and unregistered when
// it is destroyed, which must happen before the socket is closed (declare the
// watch after the UniqueFd). Destroying it while a coroutine waits (the chain
// was cancelled) cancels the timer; the coroutine is not resumed.

#include <coroutine>
#include <cstdint>

#include "base/error_code.h"
#include "base/timer_queue.h"
#include "sys/io_loop.h"

namespace tessvane {

class SocketWatch final : sys::IoHandler, TimerHandler {
 public:
  SocketWatch(sys::IoLoop& loop, int descriptor) noexcept : loop_(loop), descriptor_(descriptor) {}
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // Read interest for the socket's life. Error: OutOfMemory.
  Status start() noexcept;

  enum class Want : std::uint8_t { Read, Write };

  class Wait {
   public:
    Wait(SocketWatch& watch, Want want, std::int64_t deadline_ms) noexcept
        : watch_(watch), want_(want), deadline_ms_(deadline_ms) {}
    bool await_ready() noexcept;
    // Throws std::bad_alloc when the timer cannot be added.
    void await_suspend(std::coroutine_handle<> waiter);
    bool await_resume() const noexcept { return !watch_.timed_out_; }

   private:
    SocketWatch& watch_;
    Want want_;
    std::int64_t deadline_ms_;
  };

  Wait readable(std::int64_t deadline_ms) noexcept { return {*this, Want::Read, deadline_ms}; }
  // Arms one-shot write interest for this wait.
  Wait writable(std::int64_t deadline_ms) noexcept { return {*this, Want::Write, deadline_ms}; }

 private:
  void on_io(const sys::Event& event) noexcept override;
  void on_timer() noexcept override;
  bool take_ready(Want want) noexcept;
  void resume_waiter() noexcept;

  sys::IoLoop& loop_;
  int descriptor_;
  bool watched_ = false;
  bool write_armed_ = false;
  bool readable_ = false;
  bool writable_ = false;
  bool timed_out_ = false;
  Want wanted_ = Want::Read;
  std::coroutine_handle<> waiter_;
  TimerId timer_;
};

}  // namespace tessvane
