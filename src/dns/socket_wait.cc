#include "dns/socket_wait.h"

#include <utility>

namespace tessvane {

SocketWatch::~SocketWatch() {
  if (waiter_) loop_.timers().cancel(timer_);
  if (watched_) loop_.unwatch(descriptor_);
}

Status SocketWatch::start() noexcept {
  if (Status s = loop_.watch(descriptor_, sys::Interest::ReadEdge, *this); !s) return s;
  watched_ = true;
  return {};
}

bool SocketWatch::take_ready(Want want) noexcept {
  bool& flag = want == Want::Read ? readable_ : writable_;
  return std::exchange(flag, false);
}

bool SocketWatch::Wait::await_ready() noexcept {
  watch_.timed_out_ = false;
  return watch_.take_ready(want_);
}

void SocketWatch::Wait::await_suspend(std::coroutine_handle<> waiter) {
  if (want_ == Want::Write && !watch_.write_armed_) {
    // Registered under the same handler; the watch is already routed.
    if (Status s = watch_.loop_.watch(watch_.descriptor_, sys::Interest::WriteOnce, watch_); s) {
      watch_.write_armed_ = true;
    }
  }
  watch_.timer_ = watch_.loop_.timers().add(deadline_ms_, watch_);
  watch_.wanted_ = want_;
  watch_.waiter_ = waiter;
}

void SocketWatch::on_io(const sys::Event& event) noexcept {
  // A failed change is taken as readiness of both kinds: the next read or
  // write then meets the socket's real state instead of waiting in vain.
  if (event.readable || event.error) readable_ = true;
  if (event.writable || event.error) {
    writable_ = true;
    write_armed_ = false;
  }
  if (waiter_ && take_ready(wanted_)) {
    loop_.timers().cancel(timer_);
    resume_waiter();
  }
}

void SocketWatch::on_timer() noexcept {
  if (!waiter_) return;
  timed_out_ = true;
  resume_waiter();
}

// The last thing either handler does: the resumed coroutine may finish the
// exchange and destroy this watch.
void SocketWatch::resume_waiter() noexcept {
  std::exchange(waiter_, {}).resume();
}

}  // namespace tessvane
