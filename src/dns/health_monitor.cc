#include "dns/health_monitor.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <new>

#include "base/text.h"
#include "base/unique_fd.h"
#include "log/logger.h"
#include "sys/thread.h"

namespace tessvane {
namespace {

// ID 1, RD, one question: the root, type NS, class IN; no OPT record.
constexpr std::array<std::byte, kProbeSize> kProbe{
    std::byte{0x00}, std::byte{0x01}, std::byte{0x01}, std::byte{0x00}, std::byte{0x00},
    std::byte{0x01}, std::byte{0x00}, std::byte{0x00}, std::byte{0x00}, std::byte{0x00},
    std::byte{0x00}, std::byte{0x00}, std::byte{0x00}, std::byte{0x00}, std::byte{0x02},
    std::byte{0x00}, std::byte{0x01}};

void warn(std::string_view prefix, ErrorCode error, std::string_view suffix) {
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, cat(prefix, "error.", error_name(error), suffix));
  }
}

void block_daemon_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) sigaddset(&set, signal);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// One second, resumed for what remained when a signal interrupts it.
void sleep_one_second() noexcept {
  timespec left{1, 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

HealthMonitor::HealthMonitor(std::vector<SocketAddress> servers,
                             const HealthMonitorOptions& options)
    : servers_(std::move(servers)), options_(options), marks_(servers_.size()) {}

std::uint8_t HealthMonitor::failures(std::size_t index) const noexcept {
  return index < kMaxMonitoredServers ? failures_[index].load(std::memory_order_relaxed) : 0;
}

// The socket is connected so that only the server's own datagrams count.
bool HealthMonitor::probe(const SocketAddress& server) const noexcept {
  UniqueFd fd(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const std::uint32_t timeout_ms = options_.probe_timeout_ms == 0 ? 1 : options_.probe_timeout_ms;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000 * 1000);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
  if (::connect(fd.get(), server.data(), server.length()) != 0) return false;
  if (::send(fd.get(), kProbe.data(), kProbe.size(), 0) != static_cast<ssize_t>(kProbe.size())) {
    return false;
  }
  std::array<std::byte, kProbeReceiveBuffer> buffer;
  ssize_t n;
  do {
    n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  return n >= static_cast<ssize_t>(kProbeMinimumReply);
}

void HealthMonitor::record(std::size_t index, bool success) noexcept {
  const std::uint8_t before = failures_[index].load(std::memory_order_relaxed);
  if (success) {
    failures_[index].store(0, std::memory_order_relaxed);
    marks_.set_up(index, true);
    return;
  }
  if (before == kProbeFailuresMax) return;
  failures_[index].store(static_cast<std::uint8_t>(before + 1), std::memory_order_relaxed);
  if (before >= 1) marks_.set_up(index, false);
}

void HealthMonitor::run_probe_cycle() noexcept {
  for (std::size_t i = 0; i < servers_.size(); ++i) record(i, probe(servers_[i]));
}

void HealthMonitor::pause() const noexcept {
  for (std::uint32_t s = 0; s < options_.interval_s && !stop_requested(); ++s) {
    sleep_one_second();
  }
}

void HealthMonitor::run() noexcept {
  for (;;) {
    run_probe_cycle();
    if (stop_requested()) return;
    pause();
    if (stop_requested()) return;
  }
}

Result<std::unique_ptr<HealthMonitor>> make_health_monitor(std::span<const std::string> nameservers,
                                                           const HealthMonitorOptions& options) {
  if (nameservers.empty() || nameservers.size() > kMaxMonitoredServers) {
    return fail(ErrorCode::InvalidServerCount);
  }
  try {
    std::vector<SocketAddress> servers;
    servers.reserve(nameservers.size());
    for (const std::string& text : nameservers) {
      auto address = parse_ip_port(text, options.port);
      if (!address) return fail(ErrorCode::InvalidNameserver);
      servers.push_back(*address);
    }
    return std::make_unique<HealthMonitor>(std::move(servers), options);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

std::unique_ptr<HealthMonitor> start_health_monitor(std::span<const std::string> nameservers,
                                                    const HealthMonitorOptions& options) {
  auto monitor = make_health_monitor(nameservers, options);
  if (!monitor) {
    warn("DNS health monitor init failed: ", monitor.error(), ", falling back to reactive");
    return nullptr;
  }
  HealthMonitor& record = **monitor;
  auto thread = start_service_thread(run_health_monitor, &record);
  if (!thread) {
    warn("DNS health monitor thread failed: ", thread.error(), "");
    return std::move(*monitor);
  }
  record.thread_ = *thread;
  record.started_ = true;
  return std::move(*monitor);
}

void stop_health_monitor(std::unique_ptr<HealthMonitor> monitor) noexcept {
  if (!monitor) return;
  monitor->stop_.store(1, std::memory_order_relaxed);
  if (monitor->started_) ::pthread_join(monitor->thread_, nullptr);
}

void* run_health_monitor(void* argument) noexcept {
  block_daemon_signals();
  static_cast<HealthMonitor*>(argument)->run();
  return nullptr;
}

}  // namespace tessvane
