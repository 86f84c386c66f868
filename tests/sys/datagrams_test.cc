// Several datagrams in few system calls, over a real datagram socket pair.

#include "sys/datagrams.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <span>
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
  EXPECT_EQ(sys::send_datagrams(pair.sender.get(), views), views.size());
  EXPECT_EQ(pair.received(), texts);
}

// A datagram the socket refuses is lost, and the ones after it still go;
// all count as done with.
TEST(SendDatagrams, ARefusedDatagramIsSkipped) {
  DatagramPair pair;
  const std::string too_large(4 << 20, 'x');
  const std::vector<std::string_view> views = {"first", too_large, "third", too_large, "fifth"};
  EXPECT_EQ(sys::send_datagrams(pair.sender.get(), views), views.size());
  EXPECT_EQ(pair.received(), (std::vector<std::string>{"first", "third", "fifth"}));
  // A bad descriptor: every datagram lost, no hang.
  EXPECT_EQ(sys::send_datagrams(-1, views), views.size());
}

// A receiver bound to a path, as syslogd's is, queues a bounded number of
// datagrams (net.unix.max_dgram_qlen on Linux, the buffer on FreeBSD); a
// full one stops the sending: the count says where, and the rest can go
// once the receiver has read.
TEST(SendDatagrams, AFullReceiverStopsTheSendingWhereItRefused) {
  std::array<char, 64> dir{};
  std::snprintf(dir.data(), dir.size(), "/tmp/tessvane-dgram.XXXXXX");
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string path = std::string(dir.data()) + "/log";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  UniqueFd receiver(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  UniqueFd sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::connect(sender.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) texts.push_back("line " + std::to_string(i));
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const auto receive = [&] {
    std::vector<std::string> out;
    std::array<char, 64> buffer;
    for (;;) {
      const ssize_t n = ::recv(receiver.get(), buffer.data(), buffer.size(), 0);
      if (n < 0) return out;
      out.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
  };
  const std::size_t sent = sys::send_datagrams(sender.get(), views);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, views.size()) << "the receiver queued every datagram";
  std::vector<std::string> received = receive();
  EXPECT_EQ(received.size(), sent);
  std::size_t done = sent;
  for (int round = 0; round < 100000 && done < views.size(); ++round) {
    done += sys::send_datagrams(sender.get(), std::span(views).subspan(done));
    for (std::string& text : receive()) received.push_back(std::move(text));
  }
  EXPECT_EQ(done, views.size());
  EXPECT_TRUE(received == texts) << received.size() << " of " << texts.size() << " arrived";
  ::unlink(path.c_str());
  ::rmdir(dir.data());
}

}  // namespace
}  // namespace tessvane
