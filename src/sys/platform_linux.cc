#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
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

Status fill_random(std::span<std::byte> out) noexcept {
  while (!out.empty()) {
    // Blocks only until the kernel's pool is first seeded, early at boot.
    const ssize_t n = getrandom(out.data(), out.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(error_from_errno(errno));
    out = out.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::int64_t coarse_wall_clock_ms() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) != 0) return 0;
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace tessvane::sys
