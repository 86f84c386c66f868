#include "sys/io_loop.h"

#include <array>
#include <new>

namespace tessvane::sys {

namespace {

constexpr std::size_t kLocalEventsPerWait = 64;

}  // namespace

void EventRouter::add(int descriptor, IoHandler& handler) {
  handlers_[descriptor] = &handler;
}

void EventRouter::remove(int descriptor) noexcept {
  handlers_.erase(descriptor);
  retire(descriptor);
}

void EventRouter::retire(int descriptor) noexcept {
  try {
    retired_.insert(descriptor);
  } catch (const std::bad_alloc&) {
    // Only the same-pass protection is lost, never a registration.
  }
}

IoHandler* EventRouter::route(const Event& event) const noexcept {
  if (retired(event.descriptor)) return nullptr;
  return route_carried(event);
}

IoHandler* EventRouter::route_carried(const Event& event) const noexcept {
  const auto found = handlers_.find(event.descriptor);
  return found == handlers_.end() ? nullptr : found->second;
}

Result<std::unique_ptr<LocalLoop>> LocalLoop::create() noexcept {
  Result<EventQueue> queue = EventQueue::create();
  if (!queue) return fail(queue.error());
  std::unique_ptr<LocalLoop> loop(new (std::nothrow) LocalLoop(std::move(*queue)));
  if (!loop) return fail(ErrorCode::OutOfMemory);
  return loop;
}

Status LocalLoop::watch(int descriptor, Interest interest, IoHandler& handler) noexcept {
  try {
    router_.add(descriptor, handler);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  // A failed early submission concerns other descriptors; their failures come
  // back as error events.
  (void)queue_.queue_change(descriptor, interest);
  return {};
}

void LocalLoop::unwatch(int descriptor) noexcept {
  queue_.forget(descriptor);
  router_.remove(descriptor);
}

Status LocalLoop::run_once() {
  std::array<Event, kLocalEventsPerWait> events;
  const Result<std::size_t> count = queue_.wait(events, timers_.wait_ms(monotonic_ms(), {}));
  if (!count) return fail(count.error());
  router_.begin_pass();
  for (const Event& event : std::span(events).first(*count)) {
    if (IoHandler* handler = router_.route(event)) handler->on_io(event);
  }
  for (;;) {
    const std::size_t carried = queue_.take_carried(events);
    if (carried == 0) break;
    for (const Event& event : std::span(events).first(carried)) {
      if (IoHandler* handler = router_.route_carried(event)) handler->on_io(event);
    }
  }
  timers_.fire_due(monotonic_ms());
  return {};
}

}  // namespace tessvane::sys
