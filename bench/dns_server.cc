// bench-dns: a UDP DNS server for the bench zone (common/bench_zone.h) on
// loopback. One thread, one epoll set. With --delay-ms, answers for names
// under slow.<zone> wait that long each: they are held in a queue ordered by
// due time (a fixed delay keeps arrival order), so answers are delayed
// independently and never one after another.
//
//   bench-dns [--address 127.0.83.1]... [--port 53] [--zone bench.test] [--delay-ms 20]
//
// Runs until SIGTERM or SIGINT, then prints how many queries it answered.

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/bench_zone.h"
#include "common/socket_util.h"

namespace tessvane::bench {
namespace {

struct Options {
  std::vector<std::string> addresses;
  std::uint16_t port = 53;
  std::string zone = "bench.test";
  std::int64_t delay_ns = 0;
};

struct Held {
  std::int64_t due_ns;
  int fd;
  sockaddr_in peer;
  std::string message;
};

struct Counters {
  std::uint64_t answered = 0;
  std::uint64_t delayed = 0;
  std::uint64_t dropped = 0;
};

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string_view value = argv[++i];
    if (arg == "--address") {
      options.addresses.emplace_back(value);
    } else if (arg == "--port") {
      const auto port = parse_number(value);
      if (!port || *port > 65535) return false;
      options.port = static_cast<std::uint16_t>(*port);
    } else if (arg == "--zone") {
      options.zone = value;
    } else if (arg == "--delay-ms") {
      const auto ms = parse_number(value);
      if (!ms) return false;
      options.delay_ns = static_cast<std::int64_t>(*ms) * 1'000'000;
    } else {
      return false;
    }
  }
  if (options.addresses.empty()) options.addresses.emplace_back("127.0.83.1");
  return true;
}

void send_answer(int fd, const sockaddr_in& peer, std::string_view message, Counters& counters) {
  const ssize_t n = ::sendto(fd, message.data(), message.size(), 0,
                             reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  if (n < 0) {
    ++counters.dropped;
  } else {
    ++counters.answered;
  }
}

// Reads every waiting datagram of fd and answers or holds each.
void serve_datagrams(int fd, const Options& options, std::deque<Held>& held,
                     Counters& counters) {
  std::array<std::byte, 4096> buffer;
  for (;;) {
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or an error the next datagram may not have
    }
    auto answer = answer_bench_query(std::span(buffer.data(), static_cast<std::size_t>(n)),
                                     options.zone);
    if (!answer) continue;
    if (answer->slow && options.delay_ns > 0) {
      held.push_back({monotonic_ns() + options.delay_ns, fd, peer, std::move(answer->message)});
      ++counters.delayed;
    } else {
      send_answer(fd, peer, answer->message, counters);
    }
  }
}

void release_due(std::deque<Held>& held, Counters& counters) {
  const std::int64_t now = monotonic_ns();
  while (!held.empty() && held.front().due_ns <= now) {
    send_answer(held.front().fd, held.front().peer, held.front().message, counters);
    held.pop_front();
  }
}

int wait_ms(const std::deque<Held>& held) {
  if (held.empty()) return -1;
  const std::int64_t left = held.front().due_ns - monotonic_ns();
  if (left <= 0) return 0;
  return static_cast<int>((left + 999'999) / 1'000'000);
}

int run(const Options& options) {
  UniqueFd stop = stop_signal_fd();
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!stop || !epoll) return 1;
  std::vector<UniqueFd> sockets;
  for (const std::string& text : options.addresses) {
    const auto address = ipv4_address(text, options.port);
    if (!address) {
      std::fprintf(stderr, "bench-dns: not an IPv4 address: %s\n", text.c_str());
      return 1;
    }
    UniqueFd fd = bind_udp(*address);
    if (!fd) return 1;
    const int size = 4 << 20;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockets.push_back(std::move(fd));
  }
  for (const UniqueFd& fd : sockets) {
    epoll_event event{EPOLLIN, {.fd = fd.get()}};
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0) return 1;
  }
  epoll_event stop_event{EPOLLIN, {.fd = stop.get()}};
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop.get(), &stop_event) != 0) return 1;
  std::printf("bench-dns: serving %s on port %u\n", options.zone.c_str(), options.port);
  std::fflush(stdout);

  std::deque<Held> held;
  Counters counters;
  std::array<epoll_event, 16> events;
  for (bool stopping = false; !stopping;) {
    const int n = ::epoll_wait(epoll.get(), events.data(), events.size(), wait_ms(held));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == stop.get()) {
        stopping = true;
      } else {
        serve_datagrams(events[i].data.fd, options, held, counters);
      }
    }
    release_due(held, counters);
  }
  std::printf("bench-dns: answered %llu queries (%llu delayed, %llu not sent)\n",
              static_cast<unsigned long long>(counters.answered),
              static_cast<unsigned long long>(counters.delayed),
              static_cast<unsigned long long>(counters.dropped));
  return 0;
}

}  // namespace
}  // namespace tessvane::bench

int main(int argc, char** argv) {
  tessvane::bench::Options options;
  if (!tessvane::bench::parse_options(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: bench-dns [--address A]... [--port N] [--zone Z] [--delay-ms MS]\n");
    return 2;
  }
  return tessvane::bench::run(options);
}
