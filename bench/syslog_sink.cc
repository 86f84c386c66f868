// bench-syslog-sink: stands in for the local syslog daemon during a bench run.
// It binds the datagram socket the daemon logs to (/dev/log on Linux), reads
// and discards every line (counting them, and the verdict lines among them),
// and removes the socket when it stops. A syslog daemon costs more per line
// than this; the daemon's own cost of a line (format and send) is the same.
//
//   bench-syslog-sink [--path /dev/log]
//
// If the path already belongs to a listening socket (a real syslog daemon),
// it exits with status 3 and leaves it alone; a stale socket is replaced.
// Runs until SIGTERM or SIGINT, then prints its counts.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/socket_util.h"

namespace tessvane::bench {
namespace {

constexpr int kBatch = 64;
constexpr std::size_t kLineMax = 2048;

bool make_address(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// 0: free (or stale, now removed); 3: someone listens there; 1: not a socket.
int claim_path(const std::string& path, const sockaddr_un& address) {
  struct stat info{};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  if (!S_ISSOCK(info.st_mode)) return 1;
  UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                         sizeof address) == 0) {
    return 3;
  }
  return ::unlink(path.c_str()) == 0 ? 0 : 1;
}

struct Counts {
  std::uint64_t lines = 0;
  std::uint64_t verdicts = 0;
};

using Buffers = std::vector<std::array<char, kLineMax>>;

void drain(int fd, Counts& counts, Buffers& buffers) {
  std::array<mmsghdr, kBatch> messages{};
  std::array<iovec, kBatch> vectors{};
  for (;;) {
    for (int i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers[i].data(), buffers[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    for (int i = 0; i < n; ++i) {
      ++counts.lines;
      const std::string_view line(buffers[i].data(), messages[i].msg_len);
      if (line.find(" result=") != std::string_view::npos &&
          line.find(" reason=") == std::string_view::npos) {
        ++counts.verdicts;
      }
    }
  }
}

int run(const std::string& path) {
  sockaddr_un address{};
  if (!make_address(path, address)) return 1;
  if (const int claimed = claim_path(path, address); claimed != 0) {
    std::fprintf(stderr, "bench-syslog-sink: %s %s\n", path.c_str(),
                 claimed == 3 ? "has a listener already" : "is in the way");
    return claimed;
  }
  UniqueFd stop = stop_signal_fd();
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!stop || !fd || !epoll) return 1;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "bench-syslog-sink: bind %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  (void)::chmod(path.c_str(), 0666);
  const int size = 8 << 20;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  epoll_event read_event{EPOLLIN, {.fd = fd.get()}};
  epoll_event stop_event{EPOLLIN, {.fd = stop.get()}};
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &read_event) != 0 ||
      ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop.get(), &stop_event) != 0) {
    ::unlink(path.c_str());
    return 1;
  }
  std::printf("bench-syslog-sink: reading %s\n", path.c_str());
  std::fflush(stdout);

  Buffers buffers(kBatch);
  Counts counts;
  std::array<epoll_event, 2> events;
  for (bool stopping = false; !stopping;) {
    const int n = ::epoll_wait(epoll.get(), events.data(), events.size(), -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == stop.get()) stopping = true;
    }
    drain(fd.get(), counts, buffers);
  }
  ::unlink(path.c_str());
  std::printf("bench-syslog-sink: %llu lines, %llu verdict lines\n",
              static_cast<unsigned long long>(counts.lines),
              static_cast<unsigned long long>(counts.verdicts));
  return 0;
}

}  // namespace
}  // namespace tessvane::bench

int main(int argc, char** argv) {
  std::string path = "/dev/log";
  if (argc == 3 && std::string_view(argv[1]) == "--path") {
    path = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: bench-syslog-sink [--path PATH]\n");
    return 2;
  }
  return tessvane::bench::run(path);
}
