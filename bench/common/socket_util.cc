#include "common/socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

namespace tessvane::bench {

std::optional<std::uint64_t> parse_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<sockaddr_in> ipv4_address(std::string_view host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string host_text(host);
  if (inet_pton(AF_INET, host_text.c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

std::optional<sockaddr_in> parse_ipv4_port(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto port = parse_number(text.substr(colon + 1));
  if (!port || *port > 65535) return std::nullopt;
  return ipv4_address(text.substr(0, colon), static_cast<std::uint16_t>(*port));
}

namespace {

void report(const char* what) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
}

const sockaddr* as_sockaddr(const sockaddr_in& address) {
  return reinterpret_cast<const sockaddr*>(&address);
}

}  // namespace

UniqueFd listen_tcp(const sockaddr_in& address) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    report("socket");
    return {};
  }
  const int on = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd.get(), as_sockaddr(address), sizeof address) != 0) {
    report("bind");
    return {};
  }
  if (::listen(fd.get(), 1024) != 0) {
    report("listen");
    return {};
  }
  return fd;
}

UniqueFd bind_udp(const sockaddr_in& address) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    report("socket");
    return {};
  }
  if (::bind(fd.get(), as_sockaddr(address), sizeof address) != 0) {
    report("bind");
    return {};
  }
  return fd;
}

UniqueFd connect_tcp(const sockaddr_in& address, std::int64_t deadline_ns) {
  for (;;) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
      report("socket");
      return {};
    }
    if (::connect(fd.get(), as_sockaddr(address), sizeof address) == 0) return fd;
    if (errno != ECONNREFUSED || monotonic_ns() >= deadline_ns) {
      report("connect");
      return {};
    }
    const timespec pause{0, 20'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void set_nodelay(int fd) {
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::uint16_t bound_port(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

std::int64_t monotonic_ns() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

UniqueFd stop_signal_fd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
    report("sigprocmask");
    return {};
  }
  UniqueFd fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd) report("signalfd");
  return fd;
}

}  // namespace tessvane::bench
