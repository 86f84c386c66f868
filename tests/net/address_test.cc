#include "net/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace tessvane {
namespace {

Ip4Addr ip4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return Ip4Addr{{a, b, c, d}};
}

// The address written in full: eight groups of four lowercase hex digits.
Ip6Addr ip6(std::string_view full) {
  Ip6Addr address;
  std::size_t byte = 0;
  for (std::size_t i = 0; byte < 16; i += 5) {
    const auto group = std::stoul(std::string(full.substr(i, 4)), nullptr, 16);
    address.bytes[byte++] = static_cast<std::uint8_t>(group >> 8);
    address.bytes[byte++] = static_cast<std::uint8_t>(group & 0xFF);
  }
  return address;
}

struct Ip4Case {
  std::string_view text;
  Result<Ip4Addr> expected;
};

TEST(ParseIp4, AcceptsOnlyTheStrictDottedQuad) {
  const Ip4Case cases[] = {
      {"192.0.2.1", ip4(192, 0, 2, 1)},
      {"0.0.0.0", ip4(0, 0, 0, 0)},
      {"255.255.255.255", ip4(255, 255, 255, 255)},
      {"10.200.30.4", ip4(10, 200, 30, 4)},
      {"192.0.2.01", fail(ErrorCode::NonCanonical)},
      {"192.0.2.00", fail(ErrorCode::NonCanonical)},
      {"01.0.2.1", fail(ErrorCode::NonCanonical)},
      {"192.0.2.256", fail(ErrorCode::Overflow)},
      {"192.0.2.1000", fail(ErrorCode::Overflow)},
      {"300.0.2.1", fail(ErrorCode::Overflow)},
      {"192.0.2", fail(ErrorCode::Incomplete)},
      {"192.0.2.", fail(ErrorCode::Incomplete)},
      {"192", fail(ErrorCode::Incomplete)},
      {"", fail(ErrorCode::Incomplete)},
      {"192.0.2.1.5", fail(ErrorCode::InvalidEnd)},
      {"192.0.2.1.", fail(ErrorCode::InvalidEnd)},
      {".192.0.2.1", fail(ErrorCode::InvalidCharacter)},
      {"192..0.2", fail(ErrorCode::InvalidCharacter)},
      {"192.0.2..", fail(ErrorCode::InvalidCharacter)},
      {"192.0.2.1 ", fail(ErrorCode::InvalidCharacter)},
      {" 192.0.2.1", fail(ErrorCode::InvalidCharacter)},
      {"192.0.2.1:25", fail(ErrorCode::InvalidCharacter)},
      {"192.0.2.x", fail(ErrorCode::InvalidCharacter)},
      {"::1", fail(ErrorCode::InvalidCharacter)},
      {std::string_view("192.0.2.1\0", 10), fail(ErrorCode::InvalidCharacter)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_ip4(c.text), c.expected) << "text: \"" << c.text << '"';
  }
}

struct Ip6Case {
  std::string_view text;
  Result<Ip6Addr> expected;
};

TEST(ParseIp6, ReadsGroupsAndOneDoubleColon) {
  const auto bad = fail(ErrorCode::InvalidIp);
  const Ip6Case cases[] = {
      {"::", ip6("0000:0000:0000:0000:0000:0000:0000:0000")},
      {"::1", ip6("0000:0000:0000:0000:0000:0000:0000:0001")},
      {"1::", ip6("0001:0000:0000:0000:0000:0000:0000:0000")},
      {"2001:db8::1", ip6("2001:0db8:0000:0000:0000:0000:0000:0001")},
      {"2001:DB8:0:0:8:800:200C:417A", ip6("2001:0db8:0000:0000:0008:0800:200c:417a")},
      {"1:2:3:4:5:6:7:8", ip6("0001:0002:0003:0004:0005:0006:0007:0008")},
      {"1:2:3::6:7:8", ip6("0001:0002:0003:0000:0000:0006:0007:0008")},
      {"1::8", ip6("0001:0000:0000:0000:0000:0000:0000:0008")},
      {"::2:3:4:5:6:7:8", ip6("0000:0002:0003:0004:0005:0006:0007:0008")},
      {"1:2:3:4:5:6:7::", ip6("0001:0002:0003:0004:0005:0006:0007:0000")},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", ip6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")},
      {"0000:0000:0000:0000:0000:0000:0000:0001", ip6("0000:0000:0000:0000:0000:0000:0000:0001")},
      {"1:2:3:4:5:6:7:8:9", bad},
      {"1::2::3", bad},
      {"::1::", bad},
      {"1:2:3:4::5:6:7:8", bad},
      {"1:2:3:4:5:6:7:8::", bad},
      {"::1:2:3:4:5:6:7:8", bad},
      {"1:2:3:4:5:6:7", bad},
      {":1:2:3:4:5:6:7:8", bad},
      {":1::", bad},
      {"1:2:3:4:5:6:7:8:", bad},
      {"1::2:", bad},
      {":::", bad},
      {"1:::2", bad},
      {"12345::", bad},
      {"1:2:3:4:5:6:7:00008", bad},
      {"fe80::1%eth0", bad},
      {"[::1]", bad},
      {"::g", bad},
      {"", bad},
      {":", bad},
      {" ::1", bad},
      {"::1 ", bad},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_ip6(c.text), c.expected) << "text: \"" << c.text << '"';
  }
}

TEST(ParseIp6, RewritesAnEmbeddedIpv4Tail) {
  const auto bad = fail(ErrorCode::InvalidIp);
  const Ip6Case cases[] = {
      {"::ffff:192.0.2.1", ip6("0000:0000:0000:0000:0000:ffff:c000:0201")},
      {"::192.0.2.1", ip6("0000:0000:0000:0000:0000:0000:c000:0201")},
      {"1:2:3:4:5:6:255.255.255.255", ip6("0001:0002:0003:0004:0005:0006:ffff:ffff")},
      {"64:ff9b::0.0.0.0", ip6("0064:ff9b:0000:0000:0000:0000:0000:0000")},
      {"::ffff:192.0.2.01", bad},
      {"::ffff:192.0.2", bad},
      {"::ffff:192.0.2.256", bad},
      {"192.0.2.1", bad},
      {"1:2:3:4:5:6:7:1.2.3.4", bad},
      {"1:1.2.3.4", bad},
      {":1.2.3.4", bad},
      {"1.2::3", bad},
      {"1.2.3.4:", bad},
      {"::ffff:1.2.3.4%eth0", bad},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_ip6(c.text), c.expected) << "text: \"" << c.text << '"';
  }
}

TEST(ParseIp6, RejectsTextsOverFortyFiveCharactersBeforeRewritingThem) {
  // Six full groups and the longest dotted quad: the longest text the
  // grammar allows.
  const std::string_view longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
  ASSERT_EQ(longest.size(), 45u);
  EXPECT_EQ(parse_ip6(longest), ip6("0000:0000:0000:0000:0000:ffff:ffff:ffff"));
  EXPECT_EQ(parse_ip6(std::string(longest) + "5"), fail(ErrorCode::InvalidIp));
  EXPECT_EQ(parse_ip6(std::string(longest) + " "), fail(ErrorCode::InvalidIp));
  // Heads far longer than the rewrite area in front of a valid IPv4 tail.
  for (std::size_t head : {40u, 46u, 100u, 4000u}) {
    const std::string text = std::string(head, ':') + "1.2.3.4";
    EXPECT_EQ(parse_ip6(text), fail(ErrorCode::InvalidIp)) << head;
  }
  std::string groups;
  for (int i = 0; i < 200; ++i) groups += "1:";
  EXPECT_EQ(parse_ip6(groups + "1.2.3.4"), fail(ErrorCode::InvalidIp));
  EXPECT_EQ(parse_ip6(groups + ":1"), fail(ErrorCode::InvalidIp));
}

sockaddr_in as_v4(const SocketAddress& address) {
  sockaddr_in out;
  std::memcpy(&out, address.data(), sizeof(out));
  return out;
}

sockaddr_in6 as_v6(const SocketAddress& address) {
  sockaddr_in6 out;
  std::memcpy(&out, address.data(), sizeof(out));
  return out;
}

TEST(ParseIpPort, BuildsAnIpv4SocketAddressWithThePortInNetworkOrder) {
  const auto address = parse_ip_port("192.0.2.1", 53);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->family(), AF_INET);
  EXPECT_EQ(address->port(), 53);
  EXPECT_EQ(address->length(), sizeof(sockaddr_in));
  const auto raw = as_v4(*address);
  EXPECT_EQ(raw.sin_family, AF_INET);
  EXPECT_EQ(raw.sin_port, htons(53));
  EXPECT_EQ(raw.sin_addr.s_addr, htonl(0xC0000201));
}

TEST(ParseIpPort, BuildsAnIpv6SocketAddressWithZeroFlowAndScope) {
  const auto address = parse_ip_port("2001:db8::53", 5353);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->family(), AF_INET6);
  EXPECT_EQ(address->port(), 5353);
  EXPECT_EQ(address->length(), sizeof(sockaddr_in6));
  const auto raw = as_v6(*address);
  EXPECT_EQ(raw.sin6_family, AF_INET6);
  EXPECT_EQ(raw.sin6_port, htons(5353));
  EXPECT_EQ(raw.sin6_flowinfo, 0u);
  EXPECT_EQ(raw.sin6_scope_id, 0u);
  const auto expected = ip6("2001:0db8:0000:0000:0000:0000:0000:0053");
  EXPECT_EQ(std::memcmp(&raw.sin6_addr, expected.bytes.data(), 16), 0);
}

TEST(ParseIpPort, ReportsAnythingElseAsInvalidAddress) {
  for (std::string_view text :
       {"", "192.0.2.01", "192.0.2.1:53", "[::1]", "::1%lo", "localhost", "1::2::3"}) {
    EXPECT_EQ(parse_ip_port(text, 53), fail(ErrorCode::InvalidAddress)) << text;
  }
}

// A datagram sent over loopback: the source that recvfrom reports is the
// sender's bound address, which same_endpoint must recognise.
class SameEndpoint : public ::testing::Test {
 protected:
  // Binds a UDP socket to the address (port 0) and returns the bound address.
  static bool bind_any_port(const UniqueFd& fd, const SocketAddress& where,
                            sockaddr_storage& bound) {
    if (bind(fd.get(), where.data(), where.length()) != 0) return false;
    socklen_t length = sizeof(bound);
    return getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0;
  }

  static std::uint16_t port_of(const sockaddr_storage& s) {
    return ntohs(s.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(s).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(s).sin6_port);
  }

  void exchange(std::string_view loopback) {
    const auto any = parse_ip_port(loopback, 0);
    ASSERT_TRUE(any.has_value());
    UniqueFd receiver(socket(any->family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    UniqueFd sender(socket(any->family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(receiver.valid() && sender.valid());
    sockaddr_storage receiver_bound{}, sender_bound{};
    if (!bind_any_port(receiver, *any, receiver_bound)) {
      GTEST_SKIP() << "no loopback for " << loopback;
    }
    ASSERT_TRUE(bind_any_port(sender, *any, sender_bound));
    const auto destination = parse_ip_port(loopback, port_of(receiver_bound));
    const auto sender_address = parse_ip_port(loopback, port_of(sender_bound));
    ASSERT_TRUE(destination.has_value() && sender_address.has_value());

    ASSERT_EQ(sendto(sender.get(), "x", 1, 0, destination->data(), destination->length()), 1);
    char byte;
    sockaddr_storage source{};
    socklen_t source_length = sizeof(source);
    ASSERT_EQ(recvfrom(receiver.get(), &byte, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&source),
                       &source_length),
              1);
    const auto* from = reinterpret_cast<const sockaddr*>(&source);
    EXPECT_TRUE(sender_address->same_endpoint(from, source_length));
    EXPECT_FALSE(destination->same_endpoint(from, source_length)) << "other port";
    const auto other_port = parse_ip_port(loopback, port_of(sender_bound) ^ 1);
    EXPECT_FALSE(other_port->same_endpoint(from, source_length));
    EXPECT_FALSE(sender_address->same_endpoint(from, source_length - 1)) << "short source";
    EXPECT_FALSE(sender_address->same_endpoint(nullptr, 0));
  }
};

TEST_F(SameEndpoint, RecognisesAnIpv4DatagramSource) {
  exchange("127.0.0.1");
}

TEST_F(SameEndpoint, RecognisesAnIpv6DatagramSource) {
  exchange("::1");
}

TEST(SocketAddressEndpoint, ComparesFamilyAndAddress) {
  const auto v4 = SocketAddress::ipv4(ip4(127, 0, 0, 1), 53);
  const auto other = SocketAddress::ipv4(ip4(127, 0, 0, 2), 53);
  EXPECT_TRUE(v4.same_endpoint(v4.data(), v4.length()));
  EXPECT_FALSE(v4.same_endpoint(other.data(), other.length()));
  // An IPv6 source whose leading bytes happen to resemble the IPv4 address.
  Ip6Addr look_alike;
  look_alike.bytes[0] = 127;
  look_alike.bytes[3] = 1;
  const auto v6 = SocketAddress::ipv6(look_alike, 53);
  EXPECT_FALSE(v4.same_endpoint(v6.data(), v6.length()));
  EXPECT_FALSE(v6.same_endpoint(v4.data(), v4.length()));
  const auto mapped = SocketAddress::ipv6(ip6("0000:0000:0000:0000:0000:ffff:7f00:0001"), 53);
  EXPECT_FALSE(mapped.same_endpoint(v4.data(), v4.length()));
  EXPECT_TRUE(mapped.same_endpoint(mapped.data(), mapped.length()));
}

TEST(Ip4PrefixMatch, ComparesTheTopBits) {
  const auto a = ip4(192, 0, 2, 1);
  const auto b = ip4(192, 0, 2, 100);
  const auto c = ip4(10, 0, 0, 1);
  EXPECT_TRUE(ip4_prefix_match(a, c, 0));
  EXPECT_FALSE(ip4_prefix_match(a, a, 33));
  EXPECT_FALSE(ip4_prefix_match(a, a, 255));
  EXPECT_TRUE(ip4_prefix_match(a, a, 32));
  EXPECT_FALSE(ip4_prefix_match(a, b, 32));
  EXPECT_TRUE(ip4_prefix_match(a, b, 24));
  EXPECT_TRUE(ip4_prefix_match(a, b, 25));  // 1 and 100 differ from bit 26 on
  EXPECT_FALSE(ip4_prefix_match(a, b, 26));
  EXPECT_FALSE(ip4_prefix_match(a, c, 1));
  EXPECT_TRUE(ip4_prefix_match(ip4(128, 0, 0, 0), ip4(255, 255, 255, 255), 1));
  EXPECT_FALSE(ip4_prefix_match(ip4(128, 0, 0, 0), ip4(0, 0, 0, 0), 1));
  EXPECT_TRUE(ip4_prefix_match(ip4(0, 0, 0, 0), ip4(0, 0, 0, 1), 31));
}

TEST(Ip6PrefixMatch, ComparesWholeBytesThenTheTopBitsOfTheNext) {
  const auto a = ip6("2001:0db8:0000:0001:a000:0000:0000:0000");
  const auto same_top_nibble = ip6("2001:0db8:0000:0001:afff:ffff:ffff:ffff");
  const auto other_top_nibble = ip6("2001:0db8:0000:0001:b000:0000:0000:0000");
  const auto other_byte_eight = ip6("2001:0db8:0000:0002:a000:0000:0000:0000");
  EXPECT_TRUE(ip6_prefix_match(a, same_top_nibble, 68));
  EXPECT_FALSE(ip6_prefix_match(a, same_top_nibble, 69));
  EXPECT_FALSE(ip6_prefix_match(a, other_top_nibble, 68));
  EXPECT_TRUE(ip6_prefix_match(a, other_top_nibble, 67));
  EXPECT_FALSE(ip6_prefix_match(a, other_byte_eight, 64));
  EXPECT_TRUE(ip6_prefix_match(a, other_byte_eight, 62));
  EXPECT_TRUE(ip6_prefix_match(a, ip6("0000:0000:0000:0000:0000:0000:0000:0000"), 0));
  EXPECT_FALSE(ip6_prefix_match(a, ip6("a001:0000:0000:0000:0000:0000:0000:0000"), 1));
  EXPECT_TRUE(ip6_prefix_match(a, a, 128));
  EXPECT_FALSE(ip6_prefix_match(a, same_top_nibble, 128));
  EXPECT_FALSE(ip6_prefix_match(a, a, 129));
  const auto last_bit = ip6("2001:0db8:0000:0001:a000:0000:0000:0001");
  EXPECT_TRUE(ip6_prefix_match(a, last_bit, 127));
  EXPECT_FALSE(ip6_prefix_match(a, last_bit, 128));
}

struct CidrCase {
  std::string_view text;
  std::uint8_t max_value;
  std::size_t max_digits;
  Result<std::uint8_t> expected;
};

TEST(ParseCidrLength, AcceptsShortCanonicalNumbersWithinTheLimit) {
  const auto bad = fail(ErrorCode::InvalidCidr);
  const CidrCase cases[] = {
      {"0", 32, 2, 0},       {"9", 32, 2, 9},      {"32", 32, 2, 32},
      {"33", 32, 2, bad},    {"01", 32, 2, bad},   {"100", 32, 2, bad},
      {"", 32, 2, bad},      {"3a", 32, 2, bad},   {"-1", 32, 2, bad},
      {"+8", 32, 2, bad},    {" 8", 32, 2, bad},   {"128", 128, 3, 128},
      {"64", 128, 3, 64},    {"129", 128, 3, bad}, {"064", 128, 3, bad},
      {"0128", 128, 3, bad}, {"00", 128, 3, bad},  {"99999999999999999999999", 128, 30, bad},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_cidr_length(c.text, c.max_value, c.max_digits), c.expected)
        << "text: \"" << c.text << '"';
  }
}

TEST(ReverseDnsName, WritesTheIpv4OctetsReversed) {
  EXPECT_EQ(reverse_dns_name(ip4(192, 0, 2, 1)).view(), "1.2.0.192.in-addr.arpa");
  EXPECT_EQ(reverse_dns_name(ip4(0, 0, 0, 0)).view(), "0.0.0.0.in-addr.arpa");
  EXPECT_EQ(reverse_dns_name(ip4(255, 255, 255, 255)).view(), "255.255.255.255.in-addr.arpa");
  EXPECT_EQ(reverse_dns_name(ip4(10, 20, 100, 7)).view(), "7.100.20.10.in-addr.arpa");
}

TEST(ReverseDnsName, WritesTheIpv6NibblesReversed) {
  const auto name = reverse_dns_name(ip6("2001:0db8:0000:0000:0000:0000:0000:abc1"));
  EXPECT_EQ(name.view(),
            "1.c.b.a.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  EXPECT_EQ(name.view().size(), 72u);
  const auto all_ones = reverse_dns_name(ip6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  EXPECT_EQ(all_ones.view().size(), 72u);
  EXPECT_TRUE(all_ones.view().starts_with("f.f.f.")) << all_ones.view();
}

TEST(Ip6DottedNibbles, WritesTheNibblesInAddressOrder) {
  const auto text = ip6_dotted_nibbles(ip6("2001:0db8:0000:0000:0000:0000:0000:abc1"));
  EXPECT_EQ(text.view(), "2.0.0.1.0.d.b.8.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.a.b.c.1");
  EXPECT_EQ(text.view().size(), 63u);
  EXPECT_EQ(ip6_dotted_nibbles(ip6("0000:0000:0000:0000:0000:0000:0000:0000")).view().size(), 63u);
}

TEST(UnmapIpv4Mapped, TurnsMappedTextsIntoDottedQuads) {
  struct Case {
    std::string_view text;
    std::string_view expected;
    bool mapped;
  };
  const Case cases[] = {
      {"::ffff:c000:201", "192.0.2.1", true},
      {"::FFFF:192.0.2.1", "192.0.2.1", true},
      {"0:0:0:0:0:ffff:0:0", "0.0.0.0", true},
      {"::ffff:ffff:ffff", "255.255.255.255", true},
      {"::1:c000:201", "::1:c000:201", false},
      {"::fffe:c000:201", "::fffe:c000:201", false},
      {"1::ffff:c000:201", "1::ffff:c000:201", false},
      {"::c000:201", "::c000:201", false},
      {"192.0.2.1", "192.0.2.1", false},
      {"not an address", "not an address", false},
      {"::ffff:192.0.2.01", "::ffff:192.0.2.01", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    const auto result = unmap_ipv4_mapped(c.text);
    EXPECT_EQ(result.text(), c.expected) << c.text;
    EXPECT_EQ(result.was_mapped(), c.mapped) << c.text;
    if (!c.mapped) {
      EXPECT_EQ(result.text().data(), c.text.data()) << "returned as it was";
    }
  }
}

}  // namespace
}  // namespace tessvane
