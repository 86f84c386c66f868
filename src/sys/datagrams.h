#pragma once
// Sending several datagrams on a connected socket with as few system calls
// as the platform allows (sendmmsg on Linux and FreeBSD).

#include <span>
#include <string_view>

namespace tessvane::sys {

// Sends each datagram, in order, without blocking and without SIGPIPE. A
// datagram the socket does not take (a full buffer, an error) is lost and the
// next one is still tried, exactly as with one send per datagram; nothing is
// reported. At most kMaxDatagramsPerCall go per system call.
inline constexpr std::size_t kMaxDatagramsPerCall = 64;
void send_datagrams(int fd, std::span<const std::string_view> datagrams) noexcept;

}  // namespace tessvane::sys
