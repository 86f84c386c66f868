#pragma once
// Sending several datagrams on a connected socket with as few system calls
// as the platform allows (sendmmsg on Linux and FreeBSD).

#include <cstddef>
#include <span>
#include <string_view>

namespace tessvane::sys {

// Sends the datagrams, in order, without blocking and without SIGPIPE, and
// returns how many of them, from the front, are done with: sent, or refused
// by an error (lost, as with one send per datagram, and the next is tried).
// It stops at the first one refused because the receiver's queue is full
// (EAGAIN, ENOBUFS), so that the caller may keep it and the rest for a later
// try. At most kMaxDatagramsPerCall go per system call.
inline constexpr std::size_t kMaxDatagramsPerCall = 64;
std::size_t send_datagrams(int fd, std::span<const std::string_view> datagrams) noexcept;

}  // namespace tessvane::sys
