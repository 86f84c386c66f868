#pragma once
// The nameserver health monitor: one background thread that sends every
// configured nameserver a 17-byte probe (root, NS, RD, no OPT) each cycle and
// keeps the up/down marks that every worker's resolver reads. A server is
// marked down by its second consecutive failed probe and up again by its
// first success; a success is any datagram of 12 bytes or more from it.
//
// Ownership: the main thread creates the record, publishes marks() to the
// resolvers and destroys it through stop_health_monitor only after every
// reader has stopped. The monitor thread is the only writer of the marks and
// failure counters; the main thread writes the stop flag once.

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error_code.h"
#include "dns/health_marks.h"
#include "net/address.h"

namespace tessvane {

inline constexpr std::size_t kProbeSize = 17;
inline constexpr std::size_t kProbeReceiveBuffer = 512;
inline constexpr std::size_t kProbeMinimumReply = 12;
inline constexpr std::uint8_t kProbeFailuresMax = 255;

// The timing of the monitor; the daemon uses the defaults, tests shorten them.
struct HealthMonitorOptions {
  std::uint32_t interval_s = 5;           // pause between cycles, in 1 s steps
  std::uint32_t probe_timeout_ms = 2000;  // receive time-out of one probe; 0 is taken as 1
  std::uint16_t port = 53;
};

class HealthMonitor {
 public:
  HealthMonitor(std::vector<SocketAddress> servers, const HealthMonitorOptions& options);
  HealthMonitor(const HealthMonitor&) = delete;
  HealthMonitor& operator=(const HealthMonitor&) = delete;

  const HealthMarks& marks() const noexcept { return marks_; }
  std::size_t server_count() const noexcept { return servers_.size(); }
  std::uint8_t failures(std::size_t index) const noexcept;
  bool started() const noexcept { return started_; }

  // One probe of every server in configuration order, updating the marks.
  void run_probe_cycle() noexcept;
  // Cycles and pauses until stop is requested.
  void run() noexcept;

 private:
  friend std::unique_ptr<HealthMonitor> start_health_monitor(std::span<const std::string>,
                                                             const HealthMonitorOptions&);
  friend void stop_health_monitor(std::unique_ptr<HealthMonitor>) noexcept;

  bool probe(const SocketAddress& server) const noexcept;
  void record(std::size_t index, bool success) noexcept;
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed) != 0; }
  void pause() const noexcept;

  std::vector<SocketAddress> servers_;
  HealthMonitorOptions options_;
  HealthMarks marks_;
  std::array<std::atomic<std::uint8_t>, kMaxMonitoredServers> failures_{};
  std::atomic<std::uint8_t> stop_{0};
  pthread_t thread_{};
  bool started_ = false;
};

// The record without its thread: InvalidServerCount unless 1 to 8 texts,
// InvalidNameserver for a text that is neither IPv4 nor IPv6, OutOfMemory.
Result<std::unique_ptr<HealthMonitor>> make_health_monitor(
    std::span<const std::string> nameservers, const HealthMonitorOptions& options = {});

// Builds the record and starts its thread (16 MiB stack, 4096-byte guard).
// A build error logs "DNS health monitor init failed: {error}, falling back
// to reactive" and gives no record; a thread that cannot start logs "DNS
// health monitor thread failed: {error}" and the record is returned with
// every server marked up for good.
std::unique_ptr<HealthMonitor> start_health_monitor(std::span<const std::string> nameservers,
                                                    const HealthMonitorOptions& options = {});

// Sets stop, waits for the thread if it was started (at most the cycle in
// progress plus one second), releases the record. Accepts no record.
void stop_health_monitor(std::unique_ptr<HealthMonitor> monitor) noexcept;

// The thread body; argument is the HealthMonitor. Blocks SIGHUP, SIGINT,
// SIGTERM and SIGPIPE in the thread, then runs the monitor until stopped.
void* run_health_monitor(void* argument) noexcept;

}  // namespace tessvane
