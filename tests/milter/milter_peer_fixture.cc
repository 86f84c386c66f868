#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "milter/framer.h"
#include "milter_peer.h"

namespace tessvane::testing {

std::string u32_text(std::uint32_t value) {
  const auto bytes = u32_be(value);
  return std::string(as_text(bytes));
}

std::string nul(std::string_view text) {
  return std::string(text) + '\0';
}

std::string raw_length(std::uint32_t length) {
  return u32_text(length);
}

std::string milter_packet(char command, std::string_view payload) {
  std::string out = u32_text(static_cast<std::uint32_t>(payload.size() + 1));
  out.push_back(command);
  out.append(payload);
  return out;
}

std::vector<Reply> codes(std::string_view sequence) {
  std::vector<Reply> out;
  for (char c : sequence) out.push_back({c, {}});
  return out;
}

void PrintTo(const Reply& reply, std::ostream* out) {
  *out << "'" << reply.code << "'";
  if (!reply.payload.empty()) *out << " +" << reply.payload.size() << " bytes";
}

MilterPeer::MilterPeer(HeaderLimits limits, int socket_type) {
  int fds[2];
  if (socketpair(AF_UNIX, socket_type | SOCK_CLOEXEC, 0, fds) != 0) {
    ADD_FAILURE() << "socketpair: " << errno;
    return;
  }
  UniqueFd daemon_end(fds[0]);
  mta.reset(fds[1]);
  const int flags = fcntl(daemon_end.get(), F_GETFL);
  EXPECT_EQ(fcntl(daemon_end.get(), F_SETFL, flags | O_NONBLOCK), 0);
  descriptor = daemon_end.get();
  connection = std::make_unique<MilterConnection>(std::move(daemon_end), limits);
}

void MilterPeer::close_connection(int fd) {
  closed.push_back(fd);
  if (connection && connection->descriptor() == fd) connection.reset();
}

void MilterPeer::queue_change(int fd, InterestChange change) {
  changes.emplace_back(fd, change);
}

bool MilterPeer::pump() {
  std::array<std::byte, 8192> scratch;
  while (connection) {
    const ssize_t n = recv(descriptor, scratch.data(), scratch.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) {
      close_connection(descriptor);
      return false;
    }
    bytes_read += static_cast<std::size_t>(n);
    const Bytes bytes = std::span<const std::byte>(scratch).first(static_cast<std::size_t>(n));
    if (!append_input(connection->input, bytes)) {
      close_connection(descriptor);
      return false;
    }
    if (!dispatch_input(*this, *connection)) return false;
  }
  return false;
}

bool MilterPeer::deliver(std::string_view bytes) {
  // Each round either writes or reads; a round that does neither means the
  // two ends are stuck, which ends the test instead of spinning.
  while (!bytes.empty() && connection) {
    const ssize_t n = send(mta.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      ADD_FAILURE() << "send to the daemon end: " << errno;
      return false;
    }
    const std::size_t read_before = bytes_read;
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    if (!pump()) return false;
    if (n <= 0 && bytes_read == read_before) {
      ADD_FAILURE() << "neither end makes progress";
      return false;
    }
  }
  return pump();
}


std::vector<std::string> MilterPeer::take_writes() {
  std::vector<std::string> writes;
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t n = recv(mta.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0) break;
    writes.emplace_back(buffer.data(), static_cast<std::size_t>(n));
  }
  return writes;
}

std::string MilterPeer::take_output() {
  std::string out;
  for (const std::string& write : take_writes()) out += write;
  return out;
}

std::vector<Reply> MilterPeer::take_replies() {
  const std::string bytes = take_output();
  std::vector<Reply> out;
  ByteReader reader(bytes);
  while (!reader.at_end()) {
    const std::optional<std::uint32_t> length = reader.read_u32_be();
    const std::optional<Bytes> body = length ? reader.read_bytes(*length) : std::nullopt;
    if (!body || body->empty()) {
      ADD_FAILURE() << "partial or empty reply packet at offset " << reader.position();
      break;
    }
    const std::string_view text = as_text(*body);
    out.push_back({text.front(), std::string(text.substr(1))});
  }
  return out;
}

void MilterPeer::shrink_send_buffer() {
  const int size = 4096;
  EXPECT_EQ(setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
}

}  // namespace tessvane::testing
