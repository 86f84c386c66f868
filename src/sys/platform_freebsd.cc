// FreeBSD's answers to the platform questions, read against its manual pages.
// Calls the rest of the tree makes directly behave alike on FreeBSD and
// Linux, and need nothing here:
// - accept4(2) (FreeBSD 10 on): the new socket takes O_NONBLOCK from
//   SOCK_NONBLOCK only, never from the listener (plain accept(2) on FreeBSD
//   would inherit it, unlike Linux), so a caller that passes SOCK_CLOEXEC
//   alone gets a blocking socket on both and must add O_NONBLOCK itself.
//   FreeBSD documents EBADF, EINTR, EMFILE, ENFILE, ENOTSOCK, EINVAL, EFAULT,
//   EWOULDBLOCK (== EAGAIN) and ECONNABORTED; the other errors the worker
//   names (EPROTO, EPERM, ENOBUFS, ENOMEM) are documented by Linux, and
//   naming them costs nothing where they do not come.
// - pipe2(2) (FreeBSD 10 on) takes O_CLOEXEC and O_NONBLOCK. FreeBSD pipes
//   are bidirectional, but closing fildes[1] still ends the stream at
//   fildes[0], which kqueue's EVFILT_READ reports with EV_EOF ("the last
//   writer disconnects"): the shutdown pipe works the same.
// - A listening socket registered in several workers' kqueues (each worker
//   through its own duplicate descriptor, so closing one worker's removes
//   only the knotes of that number) gets one knote per kqueue: a new
//   connection activates every one, so every worker is woken and whichever
//   accepts first takes the connection, the others find EAGAIN. A busy worker leaves it to the free ones; that is how one
//   shared listening socket spreads connections. Unlike epoll, kevent checks
//   the socket again when it collects the event, so a worker that looks
//   after another has taken the only connection may see no event at all.
//   What FreeBSD does not do is spread over separate sockets bound with
//   SO_REUSEPORT (one of them receives every connection); SO_REUSEPORT_LB
//   would hash connections over them, but would also let a second instance
//   join the port without an AddressInUse.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "sys/platform.h"

namespace tessvane::sys {

// syslogd(8) listens on /var/run/log for everyone (mode 0666) and on
// /var/run/logpriv for root only; the daemon logs after dropping privileges,
// so only the first will do. Linux's /dev/log does not exist on FreeBSD.
std::string_view syslog_socket_path() noexcept {
  return "/var/run/log";
}

// hw.ncpu is an int: the CPUs the kernel runs on. It does not shrink with a
// cpuset(1) or jail restriction on the process, as Linux's count of online
// CPUs does not shrink with the affinity mask either.
unsigned cpu_count() noexcept {
  int n = 0;
  size_t size = sizeof n;
  if (sysctlbyname("hw.ncpu", &n, &size, nullptr, 0) != 0 || size != sizeof n || n <= 0) return 0;
  return static_cast<unsigned>(n);
}

// TCP_KEEPINIT (tcp(4)): a u_int in seconds, the time a connection that is
// not yet established may take, set before connect(2). The kernel keeps it
// in clock ticks and refuses values above INT_MAX / hz with EINVAL; the
// bound below stays clear of that for hz up to 10000.
Status set_tcp_connect_timeout(int fd, unsigned seconds) noexcept {
  constexpr unsigned kLargest = 214'748;
  const unsigned value = seconds > kLargest ? kLargest : seconds;
  if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINIT, &value, sizeof value) != 0) {
    return fail(error_from_errno(errno));
  }
  return {};
}

Status fill_random(std::span<std::byte> out) noexcept {
  arc4random_buf(out.data(), out.size());  // cannot fail
  return {};
}

std::int64_t coarse_wall_clock_ms() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME_FAST, &ts) != 0) return 0;
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace tessvane::sys
