#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>
#include <utility>

#include "config/generation.h"
#include "daemon/listen_sockets.h"
#include "daemon/startup_state.h"
#include "sys/thread.h"
#include "policy/evaluate_message.h"
#include "policy/publisher.h"
#include "policy/thread_resolver.h"

namespace tessvane {
namespace {

ErrorCode pipe_error(int err) noexcept {
  if (err == EMFILE) return ErrorCode::ProcessFdQuotaExceeded;
  if (err == ENFILE) return ErrorCode::SystemFdQuotaExceeded;
  return ErrorCode::Unexpected;
}

Status open_shutdown_pipe(DaemonRun& run) noexcept {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return fail(pipe_error(errno));
  run.shutdown_read = UniqueFd(ends[0]);
  run.shutdown_write = UniqueFd(ends[1]);
  return {};
}

// Another descriptor for a listening socket that the first worker bound.
Result<UniqueFd> share_socket(const UniqueFd& socket) noexcept {
  const int copy = ::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail(pipe_error(errno));
  return UniqueFd(copy);
}

// One listening socket per configured listener, in configuration order. Each
// is bound once, by the first worker; the others listen on copies of that
// socket. Every worker waiting on it is woken by a new connection, and one
// that is busy (in an evaluation) leaves it to the others, which spreads the
// connections over the workers the same way on every platform. Binding per
// worker with port reuse would spread them by hash, even onto a busy worker,
// would let a second daemon join the port unnoticed, and does not spread TCP
// connections at all on FreeBSD without SO_REUSEPORT_LB. A UNIX-domain path
// can be bound only once anyway. A socket error is returned without a
// message of its own.
Result<std::vector<WorkerListener>> open_listeners(const Settings& config,
                                                   const std::vector<WorkerListener>* first) {
  std::vector<WorkerListener> listeners;
  listeners.reserve(config.listeners.size());
  for (std::size_t i = 0; i < config.listeners.size(); ++i) {
    const ListenerSpec& spec = config.listeners[i];
    UniqueFd fd;
    if (first != nullptr) {
      auto copy = share_socket((*first)[i].socket);
      if (!copy) return fail(copy.error());
      fd = std::move(*copy);
    } else {
      auto socket = open_listener(spec);
      if (!socket) return fail(socket.error());
      fd = std::move(socket->fd);
    }
    listeners.push_back(WorkerListener{std::move(fd), spec.address, spec.port, spec.is_unix});
  }
  return listeners;
}

Result<std::unique_ptr<Worker>> build_worker(DaemonRun& run, std::size_t index,
                                             std::vector<WorkerListener> listeners,
                                             UniqueFd reload_read) {
  const Settings& config = run.config();
  WorkerSetup setup;
  setup.index = index;
  setup.listeners = std::move(listeners);
  setup.shutdown_fd = run.shutdown_read.get();
  setup.reload_fd = std::move(reload_read);
  setup.generation = &generation_record();
  setup.handlers.eom = evaluate_message;
  setup.reload_hook = acknowledge_reload;
  setup.limits = HeaderLimits{config.max_headers, config.max_header_bytes};
  setup.negotiation = negotiation_masks(config.milter_one_round_trip);
  setup.max_connections = config.max_connections;
  return make_worker(std::move(setup));
}

void* worker_thread(void* argument) noexcept {
  // The thread's PUB socket connects now rather than on its first verdict:
  // libzmq drops whatever is sent before the collector's subscription has
  // come back over the new connection.
  publisher_for_thread();
  worker_main(*static_cast<Worker*>(argument));
  return nullptr;
}

}  // namespace

Status start_workers(DaemonRun& run, std::size_t count) {
  if (auto opened = open_shutdown_pipe(run); !opened) return opened;
  try {
    auto reload_reads = generation_record().set_up_workers(count);
    if (!reload_reads) return fail(reload_reads.error());
    std::vector<std::vector<WorkerListener>> listeners;
    listeners.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      auto opened = open_listeners(run.config(), i == 0 ? nullptr : &listeners[0]);
      if (!opened) return fail(opened.error());
      listeners.push_back(std::move(*opened));
    }
    run.workers.reserve(count);
    run.threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      auto worker = build_worker(run, i, std::move(listeners[i]), std::move((*reload_reads)[i]));
      if (!worker) return fail(worker.error());
      run.workers.push_back(std::move(*worker));
    }
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  // Threads start only once every worker is built, so a fatal error above
  // never leaves one running; a creation failure below stops the started ones
  // through the release in DaemonRun.
  for (const auto& worker : run.workers) {
    auto thread = start_service_thread(worker_thread, worker.get());
    if (!thread) return fail(thread.error());
    run.threads.push_back(*thread);
  }
  return {};
}

}  // namespace tessvane
