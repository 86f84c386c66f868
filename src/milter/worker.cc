// The worker's event loop: one wait per pass, then every event of the pass;
// draining with its deadline; leaving the loop.

#include "milter/worker.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>
#include <vector>

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
  const auto found = connections_.find(descriptor);
  const sys::Tag tag = found == connections_.end() ? 0 : found->second->serial;
  if (Status queued = queue_->queue_change(descriptor, interest, tag); !queued) {
    log_kevent_error(queued.error());
  }
}

void Worker::close_connection(int descriptor) {
  const auto found = connections_.find(descriptor);
  if (found == connections_.end()) return;
  // Pending changes must not reach a later descriptor with the same number,
  // nor this pass's events a later connection (or socket) that gets it.
  queue_->forget(descriptor);
  router_.retire(descriptor);
  // Destroying the connection cancels an evaluation in flight; its sockets
  // are unwatched on the way.
  connections_.erase(found);
  closed_since_accept_retry_ = true;
}

Status Worker::watch(int descriptor, sys::Interest interest, sys::IoHandler& handler) noexcept {
  try {
    router_.add(descriptor, handler);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  if (Status queued = queue_->queue_change(descriptor, interest); !queued) {
    log_kevent_error(queued.error());
  }
  return {};
}

void Worker::unwatch(int descriptor) noexcept {
  if (queue_) queue_->forget(descriptor);
  router_.remove(descriptor);
}

void Worker::verdict_ready(int descriptor, std::uint64_t serial) noexcept {
  try {
    ready_verdicts_.emplace_back(descriptor, serial);
  } catch (const std::bad_alloc&) {
    rescan_verdicts_ = true;
  }
}

int worker_main(Worker& worker) {
  open_log_connection();
  hold_log_lines();
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

std::optional<int> Worker::wait_timeout() const noexcept {
  if (!unfinished_reads_.empty() || (!draining_ && any_accept_pending())) return 0;
  std::optional<int> cap = draining_ ? std::optional<int>(kDrainWaitMs) : accept_retry_wait_ms();
  const std::int64_t now = monotonic_ms();
  if (log_held_since_ms_) {
    const auto due = static_cast<int>(
        std::clamp<std::int64_t>(*log_held_since_ms_ + kWorkerLogHoldMs - now, 0, kWorkerLogHoldMs));
    cap = cap ? std::min(*cap, due) : due;
  }
  return timers_.wait_ms(now, cap);
}

void Worker::wait_and_handle() {
  std::array<sys::Event, kWorkerEventsPerWait> events;
  const Result<std::size_t> count = queue_->wait(events, wait_timeout());
  if (!count) {
    log_kevent_error(count.error());
  } else {
    handle_pass(std::span(events).first(*count));
  }
  send_due_log_lines(monotonic_ms());
}

// Every log line wakes the syslog daemon, so the worker holds the lines of
// its passes (one per message) and sends them together once a batch is full
// (log_message does that) or the oldest has waited kWorkerLogHoldMs. A
// receiver whose queue is full gets one more try; what it refuses twice is
// lost, as a line sent alone to a full queue is.
void Worker::send_due_log_lines(std::int64_t now_ms) noexcept {
  if (held_log_line_count() == 0) {
    log_held_since_ms_.reset();
    log_refused_ = false;
    return;
  }
  if (!log_held_since_ms_) log_held_since_ms_ = now_ms;
  if (now_ms - *log_held_since_ms_ < kWorkerLogHoldMs) return;
  const std::size_t before = held_log_line_count();
  const std::size_t left = send_held_log_lines();
  const bool refused = left != 0 && left == before;
  if (refused && log_refused_) drop_held_log_lines();
  log_refused_ = refused && !log_refused_;
  log_held_since_ms_.reset();
  if (held_log_line_count() != 0) log_held_since_ms_ = now_ms;
}

void Worker::handle_events(std::span<const sys::Event> events) {
  hold_log_lines();
  handle_pass(events);
  flush_log_lines();
}

void Worker::handle_pass(std::span<const sys::Event> events) {
  router_.begin_pass();
  std::vector<std::pair<int, std::uint64_t>> unfinished;
  unfinished.swap(unfinished_reads_);
  for (const auto& [descriptor, serial] : unfinished) {
    const auto found = connections_.find(descriptor);
    if (found == connections_.end() || found->second->serial != serial) continue;
    found->second->read_deferred = false;
    read_connection(descriptor);
  }
  if (!draining_) {
    for (Listener& listener : listeners_) {
      if (listener.open && listener.accept_pending) accept_pass(listener);
    }
  }
  for (const sys::Event& event : events) handle_event(event, true);
  // Events that an early submission of a full batch brought back during this
  // pass belong to it: edge-triggered readiness is reported only once.
  std::array<sys::Event, kWorkerEventsPerWait> carried;
  for (;;) {
    const std::size_t count = queue_->take_carried(carried);
    if (count == 0) break;
    for (const sys::Event& event : std::span(carried).first(count)) handle_event(event, false);
  }
  timers_.fire_due(monotonic_ms());
  answer_ready_verdicts();
}

// Answering happens here, outside every event and timer handler, so that a
// connection closed by its own answer is never one a handler still uses.
void Worker::answer_ready_verdicts() {
  while (!ready_verdicts_.empty() || rescan_verdicts_) {
    std::vector<std::pair<int, std::uint64_t>> ready;
    ready.swap(ready_verdicts_);
    if (std::exchange(rescan_verdicts_, false)) {
      for (const auto& [descriptor, connection] : connections_) {
        if (connection->verdict.task.done()) ready.emplace_back(descriptor, connection->serial);
      }
    }
    for (const auto& [descriptor, serial] : ready) {
      const auto found = connections_.find(descriptor);
      if (found == connections_.end()) continue;
      MilterConnection& connection = *found->second;
      if (connection.serial != serial || !connection.verdict.task.done()) continue;
      if (!finish_verdict(*this, connection)) continue;
      resume_input(connection);
    }
  }
  retry_stalled_accepts();
}

// The packets held while the answer was pending, then whatever the socket
// still has: reading stopped with the held packet, and the edge that
// announced the rest has been consumed.
void Worker::resume_input(MilterConnection& connection) {
  const int descriptor = connection.descriptor();
  if (!dispatch_input(*this, connection)) return;
  read_connection(descriptor);
}

// kqueue reports the read and write filters of a descriptor as separate
// events, so one list can hold a write event whose failed flush closes a
// connection, then a listener event whose accept gets the same descriptor,
// then the old connection's end of stream: the tag tells the two apart.
MilterConnection* Worker::current_connection(const sys::Event& event) {
  const auto found = connections_.find(event.descriptor);
  if (found == connections_.end() || found->second->serial != event.tag) return nullptr;
  return found->second.get();
}

void Worker::handle_event(const sys::Event& event, bool from_wait) {
  const int descriptor = event.descriptor;
  // Taken from the kernel before the descriptor was closed in this pass: it
  // concerns what was closed, not what may have its number now.
  if (from_wait && router_.retired(descriptor)) return;
  if (sys::IoHandler* handler =
          from_wait ? router_.route(event) : router_.route_carried(event)) {
    handler->on_io(event);
    return;
  }
  if (event.error) return;
  if (event.writable) {
    if (MilterConnection* connection = current_connection(event)) {
      connection->write_interest_armed = false;
      // Replies wait while the answer is pending; sending the answer
      // flushes them all.
      if (!connection->verdict.pending()) (void)flush_replies(*this, *connection);
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
  if (current_connection(event) == nullptr) return;
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
  for (std::size_t reads = 0;; ++reads) {
    const auto found = connections_.find(descriptor);
    if (found == connections_.end()) return;
    MilterConnection& connection = *found->second;
    // A held packet waits for the pending answer; what follows it stays in
    // the socket, so the input buffer keeps its bound.
    if (connection.verdict.input_held || connection.read_deferred) return;
    if (reads == kWorkerReadsPerTurn && defer_reading(connection)) return;
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
    // A short read took all the socket had; with edge-triggered interest,
    // bytes that arrive later raise an event of their own, so asking again
    // now would only cost a read that would block.
    if (static_cast<std::size_t>(n) < scratch_.size()) return;
  }
}

// Without memory for the note the connection simply reads on.
bool Worker::defer_reading(MilterConnection& connection) noexcept {
  try {
    unfinished_reads_.emplace_back(connection.descriptor(), connection.serial);
  } catch (const std::bad_alloc&) {
    return false;
  }
  connection.read_deferred = true;
  return true;
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
