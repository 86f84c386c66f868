#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdlib>

#include "sys/platform.h"

namespace tessvane::sys {

std::string_view syslog_socket_path() noexcept {
  return "/var/run/log";
}

unsigned cpu_count() noexcept {
  int n = 0;
  size_t size = sizeof n;
  if (sysctlbyname("hw.ncpu", &n, &size, nullptr, 0) != 0 || n <= 0) return 0;
  return static_cast<unsigned>(n);
}

Status set_tcp_connect_timeout(int fd, unsigned seconds) noexcept {
  const int value = seconds > 0x7fffffff ? 0x7fffffff : static_cast<int>(seconds);
  if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINIT, &value, sizeof value) != 0) {
    return fail(error_from_errno(errno));
  }
  return {};
}

Status fill_random(std::span<std::byte> out) noexcept {
  arc4random_buf(out.data(), out.size());  // cannot fail
  return {};
}

}  // namespace tessvane::sys
