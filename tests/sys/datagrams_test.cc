// Several datagrams in few system calls, over a real datagram socket pair.

#include "sys/datagrams.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace tessvane {
namespace {

struct DatagramPair {
  DatagramPair() {
    std::array<int, 2> ends{};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends.data()), 0);
    sender = UniqueFd(ends[0]);
    receiver = UniqueFd(ends[1]);
    const int size = 1 << 20;
    EXPECT_EQ(::setsockopt(sender.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  }
  std::vector<std::string> received() const {
    std::vector<std::string> out;
    std::array<char, 2048> buffer;
    for (;;) {
      const ssize_t n = ::recv(receiver.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) return out;
      out.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  UniqueFd sender;
  UniqueFd receiver;
};

TEST(SendDatagrams, EveryDatagramArrivesWholeAndInOrderAcrossCalls) {
  DatagramPair pair;
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < sys::kMaxDatagramsPerCall + 6; ++i) texts.push_back(std::to_string(i));
  texts.emplace_back();  // an empty datagram is a datagram too
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  sys::send_datagrams(pair.sender.get(), views);
  EXPECT_EQ(pair.received(), texts);
}

// A datagram the socket refuses is lost, and the ones after it still go.
TEST(SendDatagrams, ARefusedDatagramIsSkipped) {
  DatagramPair pair;
  const std::string too_large(4 << 20, 'x');
  const std::vector<std::string_view> views = {"first", too_large, "third", too_large, "fifth"};
  sys::send_datagrams(pair.sender.get(), views);
  EXPECT_EQ(pair.received(), (std::vector<std::string>{"first", "third", "fifth"}));
  sys::send_datagrams(-1, views);  // a bad descriptor: every datagram lost, no hang
}

}  // namespace
}  // namespace tessvane
