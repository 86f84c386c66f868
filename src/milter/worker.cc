// The worker's event loop: one wait per pass, then every event of the pass;
// draining with its deadline; leaving the loop.

#include "milter/worker.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/clock.h"
#include "base/text.h"
#include "log/logger.h"
#include "milter/codec.h"
#include "milter/framer.h"

namespace tessvane {

namespace {

// While draining the loop wakes at least this often to check the deadline.
constexpr int kDrainWaitMs = 1000;
// The reload pipe is emptied in reads of this size.
constexpr std::size_t kReloadReadChunk = 64;

void log_kevent_error(ErrorCode error) {
  if (!log_enabled(Severity::Err)) return;
  log_message(Severity::Err, cat("kevent error: error.", error_name(error)));
}

}  // namespace

Result<std::unique_ptr<Worker>> make_worker(WorkerSetup setup) {
  Result<sys::EventQueue> queue = sys::EventQueue::create();
  if (!queue) return fail(queue.error());
  try {
    return std::make_unique<Worker>(std::move(setup), std::move(*queue));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

// Queues the read registrations the first wait installs; the batch holds
// them all only while there are fewer than 126 listeners, beyond which the
// batch is simply submitted early.
Worker::Worker(WorkerSetup setup, sys::EventQueue queue)
    : handlers_(std::move(setup.handlers)),
      limits_(setup.limits),
      masks_(setup.negotiation),
      index_(setup.index),
      queue_(std::move(queue)),
      shutdown_fd_(setup.shutdown_fd),
      max_connections_(setup.max_connections),
      reload_fd_(std::move(setup.reload_fd)),
      drain_ms_(setup.drain_ms) {
  if (setup.generation != nullptr) {
    generation_ =
        std::make_unique<WorkerGeneration>(*setup.generation, index_, std::move(setup.reload_hook));
  }
  listeners_.reserve(setup.listeners.size());
  for (WorkerListener& listener : setup.listeners)
    listeners_.push_back({std::move(listener), true});
  if (shutdown_fd_ >= 0) queue_change_read(shutdown_fd_);
  if (reload_fd_) queue_change_read(reload_fd_.get());
  for (const Listener& listener : listeners_) queue_change_read(listener.spec.socket.get());
}

void Worker::queue_change_read(int descriptor) {
  if (Status queued = queue_->queue_change(descriptor, sys::Interest::ReadEdge); !queued) {
    log_kevent_error(queued.error());
  }
}

void Worker::queue_change(int descriptor, InterestChange change) {
  const sys::Interest interest =
      change == InterestChange::ReadEdge ? sys::Interest::ReadEdge : sys::Interest::WriteOnce;
  if (Status queued = queue_->queue_change(descriptor, interest); !queued) {
    log_kevent_error(queued.error());
  }
}

void Worker::close_connection(int descriptor) {
  const auto found = connections_.find(descriptor);
  if (found == connections_.end()) return;
  // Pending changes must not reach a later descriptor with the same number.
  queue_->forget(descriptor);
  connections_.erase(found);
  closed_since_accept_retry_ = true;
}

int worker_main(Worker& worker) {
  open_log_connection();
  worker.run();
  worker.leave();
  close_log_connection();
  return 0;
}

void Worker::run() {
  while (keep_running()) {
    if (generation_) acknowledge_generation(*generation_);
    wait_and_handle();
  }
}

bool Worker::keep_running() {
  if (!draining_) return true;
  if (connections_.empty()) return false;
  if (wall_clock_ms() < drain_deadline_ms_) return true;
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning,
                cat("drain timeout, closing ", connections_.size(), " remaining connections"));
  }
  return false;
}

void Worker::wait_and_handle() {
  std::array<sys::Event, kWorkerEventsPerWait> events;
  const std::optional<int> timeout =
      draining_ ? std::optional<int>(kDrainWaitMs) : accept_retry_wait_ms();
  const Result<std::size_t> count = queue_->wait(events, timeout);
  if (!count) {
    log_kevent_error(count.error());
    return;
  }
  // The log lines of one pass (one per message) leave together.
  hold_log_lines();
  for (const sys::Event& event : std::span(events).first(*count)) handle_event(event);
  // Events that an early submission of a full batch brought back during this
  // pass belong to it: edge-triggered readiness is reported only once.
  for (;;) {
    const std::size_t carried = queue_->take_carried(events);
    if (carried == 0) break;
    for (const sys::Event& event : std::span(events).first(carried)) handle_event(event);
  }
  retry_stalled_accepts();
  flush_log_lines();
}

void Worker::handle_event(const sys::Event& event) {
  if (event.error) return;
  const int descriptor = event.descriptor;
  if (event.writable) {
    const auto found = connections_.find(descriptor);
    if (found != connections_.end()) {
      found->second->write_interest_armed = false;
      (void)flush_replies(*this, *found->second);
    }
  }
  if (!event.readable) return;
  if (descriptor == shutdown_fd_) {
    if (!draining_) start_draining();
    return;
  }
  if (reload_fd_ && descriptor == reload_fd_.get()) {
    drain_reload_pipe();
    return;
  }
  for (Listener& listener : listeners_) {
    if (listener.open && listener.spec.socket.get() == descriptor) {
      if (!draining_) accept_pass(listener);
      return;
    }
  }
  if (event.end_of_stream) {
    close_connection(descriptor);
    return;
  }
  read_connection(descriptor);
}

// The bytes carry no meaning: the wake-up itself brings the loop back to the
// generation check.
void Worker::drain_reload_pipe() noexcept {
  std::array<std::byte, kReloadReadChunk> sink;
  for (;;) {
    const ssize_t n = ::read(reload_fd_.get(), sink.data(), sink.size());
    if (n < static_cast<ssize_t>(sink.size())) return;
  }
}

void Worker::read_connection(int descriptor) {
  for (;;) {
    const auto found = connections_.find(descriptor);
    if (found == connections_.end()) return;
    MilterConnection& connection = *found->second;
    const ssize_t n = ::read(descriptor, scratch_.data(), scratch_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      close_connection(descriptor);
      return;
    }
    const Bytes bytes = std::span<const std::byte>(scratch_).first(static_cast<std::size_t>(n));
    if (!append_input(connection.input, bytes)) {
      close_connection(descriptor);
      return;
    }
    if (!dispatch_input(*this, connection)) return;
  }
}

void Worker::start_draining() {
  draining_ = true;
  for (Listener& listener : listeners_) close_listener(listener);
  drain_deadline_ms_ = wall_clock_ms() + drain_ms_;
}

void Worker::close_listener(Listener& listener) noexcept {
  if (!listener.open) return;
  if (listener.spec.is_unix) ::unlink(listener.spec.address.c_str());
  if (queue_) queue_->forget(listener.spec.socket.get());
  listener.spec.socket.reset();
  listener.open = false;
}

void Worker::leave() noexcept {
  connections_.clear();
  for (Listener& listener : listeners_) close_listener(listener);
  reload_fd_.reset();
  queue_.reset();
}

}  // namespace tessvane
