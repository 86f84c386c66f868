#include "micro/loopback_zone_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <span>

#include "common/bench_zone.h"
#include "common/socket_util.h"

namespace tessvane::bench {

LoopbackZoneServer::LoopbackZoneServer() {
  const auto address = ipv4_address("127.0.0.1", 0);
  if (!address) return;
  fd_ = bind_udp(*address);
  if (!fd_) return;
  port_ = bound_port(fd_.get());
  thread_ = std::thread([this] { serve(); });
}

LoopbackZoneServer::~LoopbackZoneServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void LoopbackZoneServer::serve() {
  std::array<std::byte, 2048> buffer;
  while (!stop_) {
    pollfd wait{fd_.get(), POLLIN, 0};
    if (::poll(&wait, 1, 50) <= 0) continue;
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const ssize_t n = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &size);
    if (n <= 0) continue;
    const auto answer =
        answer_bench_query(std::span(buffer.data(), static_cast<std::size_t>(n)), "bench.test");
    if (!answer) continue;
    (void)::sendto(fd_.get(), answer->message.data(), answer->message.size(), 0,
                   reinterpret_cast<const sockaddr*>(&peer), size);
  }
}

}  // namespace tessvane::bench
