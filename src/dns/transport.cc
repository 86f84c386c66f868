#include "dns/transport.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <optional>

#include "base/byte_reader.h"
#include "base/timer_queue.h"
#include "base/unique_fd.h"
#include "dns/message.h"
#include "dns/reply_match.h"
#include "dns/socket_wait.h"
#include "sys/platform.h"

namespace tessvane {
namespace {

constexpr std::size_t kTcpLengthPrefix = 2;
constexpr std::size_t kTcpReadChunk = 4096;
static_assert(kMaxQuerySize <= 0xFFFF, "every query fits the TCP length prefix");

using ReceiveBuffer = std::array<std::byte, kUdpReceiveBuffer>;

std::uint16_t message_id(const ReceiveBuffer& buffer) noexcept {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(buffer[0]) << 8 |
                                    std::to_integer<unsigned>(buffer[1]));
}

bool would_block(int err) noexcept {
  return err == EAGAIN || err == EWOULDBLOCK;
}

// Waits for this attempt's reply until the deadline; its length, or nothing
// when the attempt has failed. Datagrams from anywhere but the server, and
// the server's datagrams with another ID, are stray: the wait goes on until
// the same deadline, so a stray never extends the attempt. So is a datagram
// that does not answer this very query (reply_matches): QR clear, or another
// question under the right ID.
Task<std::optional<std::size_t>> await_reply(SocketWatch& watch, int fd,
                                             const SocketAddress& server, std::string_view query,
                                             std::uint16_t id, std::int64_t deadline_ms,
                                             ReceiveBuffer& buffer) {
  for (;;) {
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!would_block(errno)) co_return std::nullopt;
      const bool ready = co_await watch.readable(deadline_ms);
      if (!ready) co_return std::nullopt;
      continue;
    }
    if (!server.same_endpoint(reinterpret_cast<const sockaddr*>(&from), from_length)) continue;
    const auto length = static_cast<std::size_t>(n);
    if (length < kDnsHeaderSize) co_return std::nullopt;
    if (message_id(buffer) != id) continue;
    if (!reply_matches(as_bytes(query), Bytes(buffer.data(), length))) continue;
    co_return length;
  }
}

// Sends all of bytes before the deadline. Error: that of send, DnsTimeout.
Task<Status> send_all(SocketWatch& watch, int fd, std::string_view bytes,
                      std::int64_t deadline_ms) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && would_block(errno)) {
      const bool ready = co_await watch.writable(deadline_ms);
      if (!ready) co_return fail(ErrorCode::DnsTimeout);
      continue;
    }
    if (n < 0) co_return fail(error_from_errno(errno));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  co_return Status{};
}

// Appends exactly count bytes read from fd before the deadline. Memory grows
// with the bytes that really arrive, never with a length the peer claims.
Task<Status> receive_exactly(SocketWatch& watch, int fd, std::size_t count, std::string& out,
                             std::int64_t deadline_ms) {
  std::array<char, kTcpReadChunk> chunk;
  while (count > 0) {
    const ssize_t n = ::recv(fd, chunk.data(), std::min(count, chunk.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && would_block(errno)) {
      const bool ready = co_await watch.readable(deadline_ms);
      if (!ready) co_return fail(ErrorCode::DnsTimeout);
      continue;
    }
    if (n < 0) co_return fail(error_from_errno(errno));
    if (n == 0) co_return fail(ErrorCode::ConnectionResetByPeer);
    out.append(chunk.data(), static_cast<std::size_t>(n));
    count -= static_cast<std::size_t>(n);
  }
  co_return Status{};
}

unsigned whole_seconds_at_least_one(std::uint32_t timeout_ms) noexcept {
  return std::max(1u, static_cast<unsigned>((timeout_ms + 999) / 1000));
}

Status pending_socket_error(int fd) noexcept {
  int err = 0;
  socklen_t length = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
    return fail(error_from_errno(errno));
  }
  if (err != 0) return fail(error_from_errno(err));
  return {};
}

Task<Status> connect_before(SocketWatch& watch, int fd, const SocketAddress& server,
                            std::int64_t deadline_ms) {
  if (::connect(fd, server.data(), server.length()) == 0) co_return Status{};
  if (errno != EINPROGRESS && errno != EINTR) co_return fail(error_from_errno(errno));
  const bool ready = co_await watch.writable(deadline_ms);
  if (!ready) co_return fail(ErrorCode::DnsTimeout);
  co_return pending_socket_error(fd);
}

std::string framed_query(std::string_view query) {
  std::string framed;
  framed.reserve(kTcpLengthPrefix + query.size());
  framed.push_back(static_cast<char>(query.size() >> 8));
  framed.push_back(static_cast<char>(query.size() & 0xFF));
  framed.append(query);
  return framed;
}

}  // namespace

Task<Result<UdpReply>> udp_exchange(sys::IoLoop& loop, const SocketAddress& server,
                                    std::string_view query, std::uint16_t id,
                                    std::uint32_t timeout_ms, std::uint8_t retries) {
  UniqueFd fd(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) co_return fail(error_from_errno(errno));
  SocketWatch watch(loop, fd.get());
  if (Status s = watch.start(); !s) co_return fail(s.error());

  ReceiveBuffer buffer;
  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    const ssize_t sent =
        ::sendto(fd.get(), query.data(), query.size(), 0, server.data(), server.length());
    if (sent != static_cast<ssize_t>(query.size())) continue;
    const std::int64_t deadline = monotonic_ms() + timeout_ms;
    const std::optional<std::size_t> length =
        co_await await_reply(watch, fd.get(), server, query, id, deadline, buffer);
    if (!length) continue;
    UdpReply reply;
    try {
      reply.message.assign(as_text(Bytes(buffer.data(), *length)));
    } catch (const std::bad_alloc&) {
      co_return fail(ErrorCode::OutOfMemory);
    }
    reply.rcode = static_cast<std::uint8_t>(std::to_integer<unsigned>(buffer[3]) & 0x0F);
    reply.outcome = reply.rcode == kRcodeServerFailure || reply.rcode == kRcodeRefused
                        ? UdpOutcome::Fallback
                        : UdpOutcome::Accepted;
    co_return reply;
  }
  co_return UdpReply{};
}

Task<Result<std::string>> tcp_exchange(sys::IoLoop& loop, const SocketAddress& server,
                                       std::string_view query, std::uint32_t timeout_ms) {
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  UniqueFd fd(::socket(server.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) co_return fail(error_from_errno(errno));
  // The kernel's own connect time-out only matters beyond the deadline; a
  // failure to set it changes nothing.
  (void)sys::set_tcp_connect_timeout(fd.get(), whole_seconds_at_least_one(timeout_ms));
  SocketWatch watch(loop, fd.get());
  if (Status s = watch.start(); !s) co_return fail(s.error());
  // GCC 12 miscompiles a co_await inside the condition of an if (the chain
  // is lost when the coroutine suspends there), so every awaited result in
  // this system is taken in a declaration of its own.
  const Status connected = co_await connect_before(watch, fd.get(), server, deadline);
  if (!connected) co_return fail(connected.error());
  const std::string framed = framed_query(query);
  const Status sent = co_await send_all(watch, fd.get(), framed, deadline);
  if (!sent) co_return fail(sent.error());
  std::string prefix;
  const Status prefixed =
      co_await receive_exactly(watch, fd.get(), kTcpLengthPrefix, prefix, deadline);
  if (!prefixed) co_return fail(prefixed.error());
  ByteReader reader(prefix);
  const std::uint16_t length = *reader.read_u16_be();
  if (length < kDnsHeaderSize) co_return fail(ErrorCode::PacketTooShort);
  std::string reply;
  const Status received = co_await receive_exactly(watch, fd.get(), length, reply, deadline);
  if (!received) co_return fail(received.error());
  co_return reply;
}

}  // namespace tessvane
