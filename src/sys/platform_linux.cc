#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "sys/platform.h"

namespace tessvane::sys {

std::string_view syslog_socket_path() noexcept {
  return "/dev/log";
}

unsigned cpu_count() noexcept {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

Status set_tcp_connect_timeout(int fd, unsigned seconds) noexcept {
  // Linux has no TCP_KEEPINIT; TCP_USER_TIMEOUT bounds how long transmitted
  // data, the SYN included, may stay unacknowledged before the connect fails.
  const unsigned ms = seconds > 4'000'000 ? 4'000'000'000u : seconds * 1000u;
  if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms) != 0) {
    return fail(error_from_errno(errno));
  }
  return {};
}

}  // namespace tessvane::sys
