#pragma once
// A blocking client that plays the MTA towards a worker running on its own
// thread, and the bounded polling the worker tests wait with.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"
#include "milter_peer.h"

namespace tessvane::testing {

constexpr int kReplyTimeoutMs = 3000;
constexpr int kPollRounds = 300;  // of 10 ms: every wait below is bounded by 3 s

// Polls a condition every 10 ms, at most kPollRounds times.
inline bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < kPollRounds; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

inline std::string optneg() {
  return milter_packet('O', u32_text(6) + u32_text(0x1FF) + u32_text(0));
}

// A blocking client socket with a receive time-out.
class Client {
 public:
  static Client tcp(std::uint16_t port) {
    Client c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c.connected =
        connect(c.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    return c;
  }
  static Client local(const std::string& path) {
    Client c(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    c.connected =
        connect(c.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    return c;
  }

  void send_all(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      ASSERT_GT(n, 0) << errno;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Reads exactly n bytes; fewer when the peer closes or the time-out hits.
  std::string read_bytes(std::size_t n) {
    std::string out;
    std::array<char, 65536> buffer;
    while (out.size() < n) {
      const ssize_t got = recv(fd.get(), buffer.data(), std::min(buffer.size(), n - out.size()), 0);
      if (got <= 0) break;
      out.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return out;
  }
  // The next reply: its code and payload, or code 0 when none came.
  Reply reply() {
    const std::string head = read_bytes(4);
    if (head.size() != 4) return {};
    const std::uint32_t length = (std::uint32_t{static_cast<unsigned char>(head[0])} << 24) |
                                 (std::uint32_t{static_cast<unsigned char>(head[1])} << 16) |
                                 (std::uint32_t{static_cast<unsigned char>(head[2])} << 8) |
                                 std::uint32_t{static_cast<unsigned char>(head[3])};
    const std::string body = read_bytes(length);
    if (body.size() != length || body.empty()) return {};
    return {body[0], body.substr(1)};
  }
  // True when nothing has arrived yet (and the connection is open).
  bool nothing_yet() {
    char byte;
    const ssize_t n = recv(fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  // True when the worker closed the connection without sending anything.
  bool closed_by_peer() {
    char byte;
    return recv(fd.get(), &byte, 1, 0) == 0;
  }

  // A socket the test connected itself.
  static Client adopt(UniqueFd socket) {
    Client c(socket.release());
    c.connected = true;
    return c;
  }

  UniqueFd fd;
  bool connected = false;

 private:
  explicit Client(int descriptor) : fd(descriptor) {
    const timeval timeout{kReplyTimeoutMs / 1000, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
};

}  // namespace tessvane::testing
