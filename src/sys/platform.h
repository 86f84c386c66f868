#pragma once
// The few facts and calls that differ between the platforms Tessvane runs on.
// One implementation file per platform; CMake picks it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/error_code.h"

namespace tessvane::sys {

// The local syslog daemon's datagram socket.
std::string_view syslog_socket_path() noexcept;

// Number of online CPUs, or 0 when the platform cannot tell.
unsigned cpu_count() noexcept;

// Bounds the time a blocking connect() on a TCP socket may take. seconds is at
// least 1.
Status set_tcp_connect_timeout(int fd, unsigned seconds) noexcept;

// Fills out with bytes from the kernel's cryptographic random source, for
// values an off-path attacker must not predict (DNS query IDs). Errors: the
// platform's, should the source be unavailable.
Status fill_random(std::span<std::byte> out) noexcept;

// The wall clock (milliseconds, as wall_clock_ms) to within the kernel's tick,
// a few milliseconds, read at a fraction of the cost of a precise reading:
// for the checks an evaluation repeats at every lookup (its time budget,
// cache lifetimes), which need no finer grain. A clock that cannot be read
// counts as 0.
std::int64_t coarse_wall_clock_ms() noexcept;
inline std::int64_t coarse_wall_clock_s() noexcept {
  return coarse_wall_clock_ms() / 1000;
}

}  // namespace tessvane::sys
