#pragma once
// The bench zone (common/bench_zone.h) served over UDP on 127.0.0.1 from a
// thread of the benchmark program, so a resolver can fill its cache before
// the timed loop. The port is chosen by the kernel.

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/unique_fd.h"

namespace tessvane::bench {

class LoopbackZoneServer {
 public:
  LoopbackZoneServer();
  ~LoopbackZoneServer();
  LoopbackZoneServer(const LoopbackZoneServer&) = delete;
  LoopbackZoneServer& operator=(const LoopbackZoneServer&) = delete;

  // 0 when the socket could not be set up.
  std::uint16_t port() const noexcept { return port_; }

 private:
  void serve();

  UniqueFd fd_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tessvane::bench
