// Accepting milter connections: one pass per readiness event of a listening
// socket, refusals beyond MaxConnections, and their rate-limited report.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "base/clock.h"
#include "base/text.h"
#include "log/logger.h"
#include "milter/peer_label.h"
#include "milter/worker.h"

namespace tessvane {

namespace {

// Refusals are reported at most once in this period.
constexpr std::int64_t kRefusalReportIntervalMs = 1000;
// A listener whose accept failed is tried again at least this often, and
// whenever one of the worker's connections closes (freeing a descriptor).
constexpr std::int64_t kAcceptRetryIntervalMs = 1000;

ErrorCode accept_error(int err) noexcept {
  switch (err) {
    case ECONNABORTED: return ErrorCode::ConnectionAborted;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case ENOBUFS:
    case ENOMEM: return ErrorCode::SystemResources;
    case EPERM: return ErrorCode::BlockedByFirewall;
    case EINVAL: return ErrorCode::SocketNotListening;
    case EPROTO: return ErrorCode::ProtocolFailure;
    default: return ErrorCode::Unexpected;
  }
}

// A connection that failed between the peer's connect and our accept says
// nothing about the listener: the pass goes on, or the connections queued
// behind it would wait for the next edge.
bool ends_pass(ErrorCode error) noexcept {
  return error != ErrorCode::ConnectionAborted && error != ErrorCode::ProtocolFailure;
}

bool make_non_blocking(int descriptor) noexcept {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}

void tune_tcp(int descriptor) noexcept {
  const int on = 1;
  (void)setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  (void)setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

}  // namespace

// One connection per pass. Every worker's queue reports a shared listening
// socket, so the workers woken by the same readiness take the connections
// of a burst in turns, instead of the first awake taking them all and
// working alone. The rest is taken in the next pass, whose wait does not
// sleep.
void Worker::accept_pass(Listener& listener) {
  listener.accept_stalled = false;
  listener.accept_pending = false;
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const int accepted = ::accept4(listener.spec.socket.get(), reinterpret_cast<sockaddr*>(&peer),
                                   &peer_length, SOCK_CLOEXEC);
    if (accepted < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      const ErrorCode error = accept_error(err);
      if (log_enabled(Severity::Err)) {
        log_message(Severity::Err, cat("accept error: error.", error_name(error)));
      }
      if (ends_pass(error)) {
        listener.accept_stalled = true;
        last_accept_attempt_ms_ = wall_clock_ms();
        break;
      }
      continue;
    }
    UniqueFd socket(accepted);
    listener.accept_pending = true;
    if (connections_.size() >= max_connections_) {
      ++refused_count_;
      break;
    }
    if (!make_non_blocking(socket.get())) break;
    if (!listener.spec.is_unix) tune_tcp(socket.get());
    admit(std::move(socket), peer, peer_length);
    break;
  }
  report_refusals();
}

bool Worker::any_accept_pending() const noexcept {
  return std::any_of(listeners_.begin(), listeners_.end(),
                     [](const Listener& l) { return l.open && l.accept_pending; });
}

// Edge-triggered readiness is not reported again for connections that were
// already queued when accept failed, so the worker goes back for them.
// Runs at the end of every pass: the clock is read only while a listener is
// stalled, so the message path pays nothing for it.
void Worker::retry_stalled_accepts() {
  const bool closed = std::exchange(closed_since_accept_retry_, false);
  if (draining_ || !any_accept_stalled()) return;
  if (!closed && wall_clock_ms() - last_accept_attempt_ms_ < kAcceptRetryIntervalMs) return;
  for (Listener& listener : listeners_) {
    if (listener.open && listener.accept_stalled) accept_pass(listener);
  }
}

bool Worker::any_accept_stalled() const noexcept {
  return std::any_of(listeners_.begin(), listeners_.end(),
                     [](const Listener& l) { return l.open && l.accept_stalled; });
}

// How long the next wait may last so that a stalled listener is retried in
// time; none when no listener is stalled.
std::optional<int> Worker::accept_retry_wait_ms() const noexcept {
  if (!any_accept_stalled()) return std::nullopt;
  const std::int64_t due = last_accept_attempt_ms_ + kAcceptRetryIntervalMs - wall_clock_ms();
  return static_cast<int>(std::clamp<std::int64_t>(due, 0, kAcceptRetryIntervalMs));
}

void Worker::admit(UniqueFd socket, const sockaddr_storage& peer, socklen_t peer_length) {
  const int descriptor = socket.get();
  try {
    auto connection = std::make_unique<MilterConnection>(std::move(socket), limits_);
    connection->set_peer_label(peer_label(peer, peer_length).view());
    connection->serial = next_serial_++;
    connections_.emplace(descriptor, std::move(connection));
  } catch (const std::bad_alloc&) {
    // The socket went with whatever part was built.
    return;
  }
  queue_change(descriptor, InterestChange::ReadEdge);
}

void Worker::report_refusals() {
  if (refused_count_ == 0) return;
  const std::int64_t now = wall_clock_ms();
  if (refused_reported_ && now - last_refused_report_ms_ < kRefusalReportIntervalMs) return;
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, cat("refused ", refused_count_, " connection(s): worker ",
                                       index_, " is at MaxConnections=", max_connections_));
  }
  last_refused_report_ms_ = now;
  refused_reported_ = true;
  refused_count_ = 0;
}

}  // namespace tessvane
