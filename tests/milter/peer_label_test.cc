// Peer labels from socket addresses as accept returns them.

#include "milter/peer_label.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace tessvane {
namespace {

sockaddr_storage ipv4(const char* text, std::uint16_t port) {
  sockaddr_storage storage{};
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, text, &in.sin_addr), 1);
  std::memcpy(&storage, &in, sizeof in);
  return storage;
}

sockaddr_storage ipv6(const char* text) {
  sockaddr_storage storage{};
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(25);
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1);
  std::memcpy(&storage, &in6, sizeof in6);
  return storage;
}

TEST(PeerLabel, Ipv4IsDottedDecimalWithoutPort) {
  EXPECT_EQ(peer_label(ipv4("192.0.2.7", 4321), sizeof(sockaddr_in)).view(), "192.0.2.7");
  EXPECT_EQ(peer_label(ipv4("255.255.255.255", 1), sizeof(sockaddr_in)).view(), "255.255.255.255");
}

TEST(PeerLabel, Ipv6IsCompressedText) {
  const socklen_t size = sizeof(sockaddr_in6);
  EXPECT_EQ(peer_label(ipv6("::1"), size).view(), "::1");
  EXPECT_EQ(peer_label(ipv6("2001:db8:0:0:1:0:0:1"), size).view(), "2001:db8::1:0:0:1");
  EXPECT_EQ(peer_label(ipv6("::ffff:192.0.2.1"), size).view(), "::ffff:192.0.2.1");
  const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
  EXPECT_EQ(peer_label(ipv6(longest.c_str()), size).view(), longest);
}

TEST(PeerLabel, OtherFamiliesAreLocal) {
  sockaddr_storage storage{};
  storage.ss_family = AF_UNIX;
  EXPECT_EQ(peer_label(storage, sizeof(sa_family_t)).view(), "local");
  EXPECT_EQ(peer_label(storage, sizeof(sockaddr_un)).view(), "local");
}

TEST(PeerLabel, CutShortAddressesAreUnknown) {
  EXPECT_EQ(peer_label(ipv4("192.0.2.7", 25), sizeof(sockaddr_in) - 1).view(), "unknown");
  EXPECT_EQ(peer_label(ipv6("::1"), sizeof(sockaddr_in6) - 1).view(), "unknown");
  EXPECT_EQ(peer_label(sockaddr_storage{}, 0).view(), "unknown");
}

}  // namespace
}  // namespace tessvane
