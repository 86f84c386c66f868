#include "dns/transport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <optional>

#include "base/byte_reader.h"
#include "base/clock.h"
#include "base/unique_fd.h"
#include "dns/message.h"
#include "dns/reply_match.h"
#include "sys/platform.h"

namespace tessvane {
namespace {

constexpr std::size_t kTcpLengthPrefix = 2;
constexpr std::size_t kTcpReadChunk = 4096;
static_assert(kMaxQuerySize <= 0xFFFF, "every query fits the TCP length prefix");

Status set_time_option(int fd, int option, std::uint32_t timeout_ms) noexcept {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000 * 1000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
    return fail(error_from_errno(errno));
  }
  return {};
}

std::uint16_t message_id(const std::array<std::byte, kUdpReceiveBuffer>& buffer) noexcept {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(buffer[0]) << 8 |
                                    std::to_integer<unsigned>(buffer[1]));
}

// Waits for this attempt's reply until the deadline; its length, or nothing
// when the attempt has failed. Datagrams from anywhere but the server, and
// the server's datagrams with another ID, are stray: the wait goes on with
// whatever time is left, so a stray never extends the attempt. So is a
// datagram that does not answer this very query (reply_matches): QR clear, or
// another question under the right ID.
std::optional<std::size_t> await_reply(int fd, const SocketAddress& server, std::string_view query,
                                       std::uint16_t id, std::uint32_t timeout_ms,
                                       std::array<std::byte, kUdpReceiveBuffer>& buffer,
                                       bool& timeout_shortened) {
  const std::int64_t deadline = wall_clock_ms() + timeout_ms;
  for (bool first = true;; first = false) {
    if (!first) {
      // The clock is the wall clock: a step backwards must not lengthen the wait.
      const std::int64_t left = std::min<std::int64_t>(deadline - wall_clock_ms(), timeout_ms);
      if (left <= 0) return std::nullopt;
      if (!set_time_option(fd, SO_RCVTIMEO, static_cast<std::uint32_t>(left))) return std::nullopt;
      timeout_shortened = true;
    }
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // the time-out or another receive error
    }
    if (!server.same_endpoint(reinterpret_cast<const sockaddr*>(&from), from_length)) continue;
    const auto length = static_cast<std::size_t>(n);
    if (length < kDnsHeaderSize) return std::nullopt;
    if (message_id(buffer) != id) continue;
    if (!reply_matches(as_bytes(query), Bytes(buffer.data(), length))) continue;
    return length;
  }
}

Status send_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(error_from_errno(errno));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Appends exactly count bytes read from fd. Memory grows with the bytes that
// really arrive, never with a length the peer claims.
Status receive_exactly(int fd, std::size_t count, std::string& out) {
  std::array<char, kTcpReadChunk> chunk;
  while (count > 0) {
    const ssize_t n = ::recv(fd, chunk.data(), std::min(count, chunk.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(error_from_errno(errno));
    if (n == 0) return fail(ErrorCode::ConnectionResetByPeer);
    out.append(chunk.data(), static_cast<std::size_t>(n));
    count -= static_cast<std::size_t>(n);
  }
  return {};
}

unsigned whole_seconds_at_least_one(std::uint32_t timeout_ms) noexcept {
  return std::max(1u, static_cast<unsigned>((timeout_ms + 999) / 1000));
}

Status connect_and_send(int fd, const SocketAddress& server, std::string_view query,
                        std::uint32_t timeout_ms) {
  // The connect time-out is a refinement; without it SO_SNDTIMEO still bounds
  // connect on the platforms that honour it.
  (void)sys::set_tcp_connect_timeout(fd, whole_seconds_at_least_one(timeout_ms));
  if (auto s = set_time_option(fd, SO_RCVTIMEO, timeout_ms); !s) return s;
  if (auto s = set_time_option(fd, SO_SNDTIMEO, timeout_ms); !s) return s;
  if (::connect(fd, server.data(), server.length()) != 0) return fail(error_from_errno(errno));
  std::string framed;
  framed.reserve(kTcpLengthPrefix + query.size());
  framed.push_back(static_cast<char>(query.size() >> 8));
  framed.push_back(static_cast<char>(query.size() & 0xFF));
  framed.append(query);
  return send_all(fd, framed);
}

}  // namespace

Result<UdpReply> udp_exchange(const SocketAddress& server, std::string_view query, std::uint16_t id,
                              std::uint32_t timeout_ms, std::uint8_t retries) {
  UniqueFd fd(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(error_from_errno(errno));
  if (auto s = set_time_option(fd.get(), SO_RCVTIMEO, timeout_ms); !s) return fail(s.error());

  std::array<std::byte, kUdpReceiveBuffer> buffer;
  bool shortened = false;
  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    // A stray datagram in the attempt before left a shorter time-out behind.
    if (shortened) {
      if (auto s = set_time_option(fd.get(), SO_RCVTIMEO, timeout_ms); !s) return fail(s.error());
      shortened = false;
    }
    const ssize_t sent =
        ::sendto(fd.get(), query.data(), query.size(), 0, server.data(), server.length());
    std::optional<std::size_t> length;
    if (sent == static_cast<ssize_t>(query.size())) {
      length = await_reply(fd.get(), server, query, id, timeout_ms, buffer, shortened);
    }
    if (!length) continue;
    UdpReply reply;
    try {
      reply.message.assign(as_text(Bytes(buffer.data(), *length)));
    } catch (const std::bad_alloc&) {
      return fail(ErrorCode::OutOfMemory);
    }
    reply.rcode = static_cast<std::uint8_t>(std::to_integer<unsigned>(buffer[3]) & 0x0F);
    reply.outcome = reply.rcode == kRcodeServerFailure || reply.rcode == kRcodeRefused
                        ? UdpOutcome::Fallback
                        : UdpOutcome::Accepted;
    return reply;
  }
  return UdpReply{};
}

Result<std::string> tcp_exchange(const SocketAddress& server, std::string_view query,
                                 std::uint32_t timeout_ms) {
  UniqueFd fd(::socket(server.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(error_from_errno(errno));
  try {
    if (auto s = connect_and_send(fd.get(), server, query, timeout_ms); !s) return fail(s.error());
    std::string prefix;
    if (auto s = receive_exactly(fd.get(), kTcpLengthPrefix, prefix); !s) return fail(s.error());
    ByteReader reader(prefix);
    const std::uint16_t length = *reader.read_u16_be();
    if (length < kDnsHeaderSize) return fail(ErrorCode::PacketTooShort);
    std::string reply;
    if (auto s = receive_exactly(fd.get(), length, reply); !s) return fail(s.error());
    return reply;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace tessvane
