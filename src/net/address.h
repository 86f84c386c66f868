#pragma once
// IP address types, their accepted text forms, prefix matching, the SPF prefix
// length syntax, and the texts the SPF engine derives from an address. Pure
// computation: nothing here allocates, touches the network or shares state.

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

struct Ip4Addr {
  std::array<std::uint8_t, 4> bytes{};  // network order: first octet first
  friend bool operator==(const Ip4Addr&, const Ip4Addr&) = default;
};

struct Ip6Addr {
  std::array<std::uint8_t, 16> bytes{};  // network order: first group's high byte first
  friend bool operator==(const Ip6Addr&, const Ip6Addr&) = default;
};

// An address with a port in the platform's socket-address layout, handed to
// socket(), sendto() and connect() as it is. Flow information and scope are 0.
class SocketAddress {
 public:
  static SocketAddress ipv4(const Ip4Addr& address, std::uint16_t port) noexcept;
  static SocketAddress ipv6(const Ip6Addr& address, std::uint16_t port) noexcept;

  int family() const noexcept { return storage_.family.sa_family; }
  std::uint16_t port() const noexcept;  // host order
  const sockaddr* data() const noexcept { return &storage_.family; }
  // 16 for IPv4, 28 for IPv6.
  socklen_t length() const noexcept;
  // True when a datagram's source (as filled in by recvfrom) is this address.
  bool same_endpoint(const sockaddr* other, socklen_t other_length) const noexcept;

 private:
  SocketAddress() noexcept = default;
  union Storage {
    sockaddr family;
    sockaddr_in v4;
    sockaddr_in6 v6;
  } storage_{};
};

// Strict dotted quad. Errors: InvalidCharacter, Overflow, NonCanonical,
// InvalidEnd, Incomplete.
Result<Ip4Addr> parse_ip4(std::string_view text) noexcept;
// This system's IPv6 reader (no zone, no brackets, no port). Error: InvalidIp.
Result<Ip6Addr> parse_ip6(std::string_view text) noexcept;
// IPv4 first, then IPv6. Error: InvalidAddress.
Result<SocketAddress> parse_ip_port(std::string_view text, std::uint16_t port) noexcept;

// True when the first length bits agree; false for lengths beyond the family.
bool ip4_prefix_match(const Ip4Addr& a, const Ip4Addr& b, std::uint8_t length) noexcept;
bool ip6_prefix_match(const Ip6Addr& a, const Ip6Addr& b, std::uint8_t length) noexcept;

// 1..max_digits decimal digits, no leading zero unless exactly "0", value at
// most max_value. Error: InvalidCidr.
Result<std::uint8_t> parse_cidr_length(std::string_view text, std::uint8_t max_value,
                                       std::size_t max_digits) noexcept;

// A short text held in a fixed buffer (no allocation). view() points into
// the object, so keep it alive while the view is in use.
template <std::size_t N>
class FixedText {
 public:
  std::string_view view() const noexcept { return {chars_.data(), length_}; }
  void append(char c) noexcept {
    if (length_ < N) chars_[length_++] = c;
  }
  void append(std::string_view text) noexcept {
    for (char c : text) append(c);
  }

 private:
  std::array<char, N> chars_{};
  std::size_t length_ = 0;
};

// The name to query for PTR records: "1.2.0.192.in-addr.arpa", or the 32
// reversed nibbles of an IPv6 address followed by "ip6.arpa" (72 characters).
FixedText<80> reverse_dns_name(const Ip4Addr& address) noexcept;
FixedText<80> reverse_dns_name(const Ip6Addr& address) noexcept;

// The 32 nibbles in address order, lowercase, joined by dots (63 characters).
FixedText<63> ip6_dotted_nibbles(const Ip6Addr& address) noexcept;

// The dotted quad of an IPv4-mapped IPv6 text (::ffff:a.b.c.d or
// ::ffff:xxxx:xxxx); any other text comes back unchanged.
class UnmappedAddress {
 public:
  std::string_view text() const noexcept { return unmapped_ ? dotted_.view() : original_; }
  // True when the input was IPv4-mapped and the client is IPv4 from now on.
  bool was_mapped() const noexcept { return unmapped_; }

 private:
  friend UnmappedAddress unmap_ipv4_mapped(std::string_view text) noexcept;
  std::string_view original_;
  FixedText<15> dotted_;
  bool unmapped_ = false;
};
UnmappedAddress unmap_ipv4_mapped(std::string_view text) noexcept;

}  // namespace tessvane
