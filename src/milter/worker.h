#pragma once
// One worker thread of the milter server: its event queue, its own listening
// sockets and every connection it accepts. The worker accepts up to
// MaxConnections connections, reads and dispatches their packets, resumes
// held replies when a socket becomes writable, acknowledges configuration
// generations, and on shutdown stops accepting, serves its open connections
// for at most the drain period and returns.
//
// Start-up builds each worker with make_worker on the main thread (that
// queues the read registrations of the shutdown descriptor, the reload pipe
// and every listener, installed by the first wait), then runs worker_main on
// the worker's own thread. The Worker record stays owned by start-up, which
// releases it after joining the thread; worker_main closes everything the
// worker holds before it returns.

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/error_code.h"
#include "base/timer_queue.h"
#include "base/unique_fd.h"
#include "config/generation.h"
#include "milter/connection.h"
#include "milter/host.h"
#include "sys/event_queue.h"
#include "sys/io_loop.h"

namespace tessvane {

inline constexpr std::int64_t kDrainPeriodMs = 30000;
// Events taken per wait, bytes per read of a connection, and reads of one
// connection in one turn: a peer that keeps its socket full yields to the
// other connections after that many.
inline constexpr std::size_t kWorkerEventsPerWait = 64;
inline constexpr std::size_t kWorkerReadChunk = 8192;
inline constexpr std::size_t kWorkerReadsPerTurn = 16;
// How long a worker keeps a log line to send it with others.
inline constexpr std::int64_t kWorkerLogHoldMs = 10;

// One listening socket of the worker, with the listener it was opened for.
struct WorkerListener {
  UniqueFd socket;      // listening, non-blocking, close-on-exec
  std::string address;  // host of a TCP listener, or the Unix-domain path
  std::uint16_t port = 0;
  bool is_unix = false;  // the path is removed when the socket is closed
};

// Everything start-up hands to one worker.
struct WorkerSetup {
  std::size_t index = 0;  // 0-based position among the workers
  std::vector<WorkerListener> listeners;
  // Read end of the shutdown pipe shared by all workers; not owned: start-up
  // closes it after the workers are joined. End of file means drain.
  int shutdown_fd = -1;
  // Read end of this worker's non-blocking reload pipe, or none.
  UniqueFd reload_fd;
  // The shared generation record, or null (then generations are not watched).
  GenerationRecord* generation = nullptr;
  MilterHandlers handlers;
  ReloadHook reload_hook;
  HeaderLimits limits;
  NegotiationMasks negotiation;
  std::uint32_t max_connections = 0;
  // How long draining may last. Always kDrainPeriodMs in the daemon; a field
  // only so that tests can shorten it.
  std::int64_t drain_ms = kDrainPeriodMs;
};

class Worker;

// Creates the worker's event queue and queues the read registrations.
// Errors: those of sys::EventQueue::create, OutOfMemory.
Result<std::unique_ptr<Worker>> make_worker(WorkerSetup setup);

// The thread body: opens the thread's log connection, runs the event loop
// until the worker has drained, closes every connection, listener, the reload
// pipe and the event queue, closes the log connection. Returns 0.
int worker_main(Worker& worker);

// The worker record. Only its own thread touches it once worker_main runs.
//
// It is also the event loop of everything that waits on the worker's thread
// (sys::IoLoop): the resolver's sockets and time-outs of the evaluations in
// flight. Each pass of the loop waits until the nearest timer at the latest,
// handles the events, fires the due timers, then answers the messages whose
// evaluations ended during the pass.
class Worker final : public MilterHost, public sys::IoLoop {
 public:
  Worker(WorkerSetup setup, sys::EventQueue queue);
  // The connections go first: an evaluation they cancel unwatches its
  // sockets through the queue and router, which must still exist.
  ~Worker() { connections_.clear(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void close_connection(int descriptor) override;
  void queue_change(int descriptor, InterestChange change) override;
  const MilterHandlers& handlers() const noexcept override { return handlers_; }
  NegotiationMasks negotiation() const noexcept override { return masks_; }
  sys::IoLoop& io_loop() noexcept override { return *this; }
  void verdict_ready(int descriptor, std::uint64_t serial) noexcept override;

  Status watch(int descriptor, sys::Interest interest, sys::IoHandler& handler) noexcept override;
  void unwatch(int descriptor) noexcept override;
  TimerQueue& timers() noexcept override { return timers_; }

  // Handles the events of one wait in order, then those that changes
  // submitted meanwhile brought back. An event of a connection that is no
  // longer in the table, or whose tag is not the connection's serial (it was
  // closed earlier in the list and an accept has reused its descriptor), is
  // ignored. Tests call it with a scripted list before the thread starts;
  // the log lines of the list are sent before it returns.
  void handle_events(std::span<const sys::Event> events);

 private:
  friend int worker_main(Worker& worker);

  struct Listener {
    WorkerListener spec;
    bool open = true;
    // The last accept pass ended on an error (such as EMFILE) rather than
    // on an empty queue: connections may still wait, with no new edge.
    bool accept_stalled = false;
    // The last accept pass took a connection and stopped there; more may be
    // queued, with no new edge to announce them.
    bool accept_pending = false;
  };

  // The event loop (worker.cc).
  void queue_change_read(int descriptor);
  void run();
  bool keep_running();
  void wait_and_handle();
  void handle_pass(std::span<const sys::Event> events);
  void send_due_log_lines(std::int64_t now_ms) noexcept;
  std::optional<int> wait_timeout() const noexcept;
  void handle_event(const sys::Event& event, bool from_wait);
  MilterConnection* current_connection(const sys::Event& event);
  void answer_ready_verdicts();
  void resume_input(MilterConnection& connection);
  bool defer_reading(MilterConnection& connection) noexcept;
  void drain_reload_pipe() noexcept;
  void read_connection(int descriptor);
  void start_draining();
  void close_listener(Listener& listener) noexcept;
  void leave() noexcept;
  // Accepting (worker_accept.cc).
  void accept_pass(Listener& listener);
  void retry_stalled_accepts();
  std::optional<int> accept_retry_wait_ms() const noexcept;
  bool any_accept_stalled() const noexcept;
  bool any_accept_pending() const noexcept;
  void admit(UniqueFd socket, const sockaddr_storage& peer, socklen_t peer_length);
  void report_refusals();

  std::vector<Listener> listeners_;
  std::unordered_map<int, std::unique_ptr<MilterConnection>> connections_;
  // Descriptors other than the worker's own (the resolver's sockets), and
  // the descriptors closed in the current pass.
  sys::EventRouter router_;
  TimerQueue timers_;
  // Evaluations that ended after waiting: (descriptor, serial), answered at
  // the end of the pass. A push that cannot allocate sets rescan_verdicts_.
  std::vector<std::pair<int, std::uint64_t>> ready_verdicts_;
  bool rescan_verdicts_ = false;
  // Connections whose turn ended with bytes still in their socket (no new
  // edge will announce them): (descriptor, serial), read on in the next
  // pass, whose wait does not sleep.
  std::vector<std::pair<int, std::uint64_t>> unfinished_reads_;
  // Monotonic time since which log lines are held, and whether the last
  // try to send them was refused whole.
  std::optional<std::int64_t> log_held_since_ms_;
  bool log_refused_ = false;
  std::uint64_t next_serial_ = 1;
  MilterHandlers handlers_;
  HeaderLimits limits_;
  NegotiationMasks masks_;
  std::unique_ptr<WorkerGeneration> generation_;
  std::uint64_t refused_count_ = 0;
  std::int64_t last_refused_report_ms_ = 0;
  bool refused_reported_ = false;
  bool closed_since_accept_retry_ = false;
  std::int64_t last_accept_attempt_ms_ = 0;
  std::size_t index_;
  // Empty only after worker_main has closed it on leaving.
  std::optional<sys::EventQueue> queue_;
  int shutdown_fd_;
  std::uint32_t max_connections_;
  UniqueFd reload_fd_;
  bool draining_ = false;
  std::int64_t drain_ms_;
  std::int64_t drain_deadline_ms_ = 0;
  std::array<std::byte, kWorkerReadChunk> scratch_;
};

}  // namespace tessvane
