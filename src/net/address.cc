#include "net/address.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/number.h"
#include "base/text.h"

namespace tessvane {
namespace {

constexpr std::size_t kIp4Octets = 4;
constexpr std::size_t kIp6Groups = 8;
constexpr std::size_t kIp6GroupDigitsMax = 4;
constexpr std::size_t kIp6TextMax = 45;
// The longest IPv6 text (45) rewritten with its shortest IPv4 tail (7
// characters, "0.0.0.0") replaced by two groups (9, "xxxx:xxxx") needs 47;
// the fixed scratch area leaves room beyond that.
constexpr std::size_t kIp6ScratchSize = 53;
constexpr std::uint8_t kIp4LengthMax = 32;
constexpr std::uint8_t kIp6LengthMax = 128;
constexpr std::string_view kHexDigits = "0123456789abcdef";

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <std::size_t N>
void append_decimal(FixedText<N>& out, std::uint8_t value) noexcept {
  char digits[20];
  out.append(std::string_view(digits, format_decimal(value, digits)));
}

void append_hex_group(char* out, std::uint16_t group) noexcept {
  for (int shift = 12, i = 0; shift >= 0; shift -= 4, ++i) {
    out[i] = kHexDigits[(group >> shift) & 0xF];
  }
}

// Reads one group of 1..4 hex digits at text[pos]; pos moves past it.
bool read_ip6_group(std::string_view text, std::size_t& pos, std::uint16_t& group) noexcept {
  std::size_t digits = 0;
  unsigned value = 0;
  while (pos < text.size() && hex_value(text[pos]) >= 0) {
    if (++digits > kIp6GroupDigitsMax) return false;
    value = value * 16 + static_cast<unsigned>(hex_value(text[pos]));
    ++pos;
  }
  group = static_cast<std::uint16_t>(value);
  return digits > 0;
}

// The group syntax of an IPv6 text without an IPv4 tail.
Result<Ip6Addr> parse_ip6_groups(std::string_view text) noexcept {
  std::array<std::uint16_t, kIp6Groups> groups{};
  std::size_t count = 0;
  bool has_gap = false;
  std::size_t gap = 0;  // the number of groups written before "::"
  std::size_t pos = 0;
  if (text.starts_with("::")) {
    has_gap = true;
    pos = 2;
  }
  while (pos < text.size()) {
    if (count == kIp6Groups) return fail(ErrorCode::InvalidIp);
    if (!read_ip6_group(text, pos, groups[count])) return fail(ErrorCode::InvalidIp);
    ++count;
    if (pos == text.size()) break;
    if (text[pos] != ':') return fail(ErrorCode::InvalidIp);
    ++pos;
    if (pos < text.size() && text[pos] == ':') {
      if (has_gap) return fail(ErrorCode::InvalidIp);
      has_gap = true;
      gap = count;
      ++pos;
    } else if (pos == text.size()) {
      return fail(ErrorCode::InvalidIp);  // a single trailing colon
    }
  }
  if (has_gap ? count >= kIp6Groups : count != kIp6Groups) return fail(ErrorCode::InvalidIp);
  // Groups written after "::" move to the end; the zeros stand between.
  Ip6Addr address;
  const std::size_t head = has_gap ? gap : count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t slot = i < head ? i : kIp6Groups - (count - i);
    address.bytes[2 * slot] = static_cast<std::uint8_t>(groups[i] >> 8);
    address.bytes[2 * slot + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return address;
}

}  // namespace

SocketAddress SocketAddress::ipv4(const Ip4Addr& address, std::uint16_t port) noexcept {
  SocketAddress result;
  result.storage_.v4 = sockaddr_in{};
  result.storage_.v4.sin_family = AF_INET;
  result.storage_.v4.sin_port = htons(port);
  std::memcpy(&result.storage_.v4.sin_addr, address.bytes.data(), address.bytes.size());
  return result;
}

SocketAddress SocketAddress::ipv6(const Ip6Addr& address, std::uint16_t port) noexcept {
  SocketAddress result;
  result.storage_.v6 = sockaddr_in6{};
  result.storage_.v6.sin6_family = AF_INET6;
  result.storage_.v6.sin6_port = htons(port);
  result.storage_.v6.sin6_flowinfo = 0;
  result.storage_.v6.sin6_scope_id = 0;
  std::memcpy(&result.storage_.v6.sin6_addr, address.bytes.data(), address.bytes.size());
  return result;
}

std::uint16_t SocketAddress::port() const noexcept {
  return ntohs(family() == AF_INET ? storage_.v4.sin_port : storage_.v6.sin6_port);
}

socklen_t SocketAddress::length() const noexcept {
  return family() == AF_INET ? socklen_t{sizeof(sockaddr_in)} : socklen_t{sizeof(sockaddr_in6)};
}

bool SocketAddress::same_endpoint(const sockaddr* other, socklen_t other_length) const noexcept {
  if (other == nullptr || other_length < length()) return false;
  if (family() == AF_INET) {
    sockaddr_in source;
    std::memcpy(&source, other, sizeof(source));
    return source.sin_family == AF_INET && source.sin_port == storage_.v4.sin_port &&
           std::memcmp(&source.sin_addr, &storage_.v4.sin_addr, sizeof(in_addr)) == 0;
  }
  sockaddr_in6 source;
  std::memcpy(&source, other, sizeof(source));
  return source.sin6_family == AF_INET6 && source.sin6_port == storage_.v6.sin6_port &&
         std::memcmp(&source.sin6_addr, &storage_.v6.sin6_addr, sizeof(in6_addr)) == 0;
}

Result<Ip4Addr> parse_ip4(std::string_view text) noexcept {
  Ip4Addr address;
  std::size_t octet = 0;
  std::size_t digits = 0;  // in the current octet
  unsigned value = 0;
  for (char c : text) {
    if (is_ascii_digit(c)) {
      if (digits > 0 && value == 0) return fail(ErrorCode::NonCanonical);
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 255) return fail(ErrorCode::Overflow);
      ++digits;
    } else if (c == '.') {
      if (digits == 0) return fail(ErrorCode::InvalidCharacter);
      if (octet == kIp4Octets - 1) return fail(ErrorCode::InvalidEnd);
      address.bytes[octet++] = static_cast<std::uint8_t>(value);
      digits = 0;
      value = 0;
    } else {
      return fail(ErrorCode::InvalidCharacter);
    }
  }
  if (octet != kIp4Octets - 1 || digits == 0) return fail(ErrorCode::Incomplete);
  address.bytes[octet] = static_cast<std::uint8_t>(value);
  return address;
}

Result<Ip6Addr> parse_ip6(std::string_view text) noexcept {
  if (text.empty() || text.size() > kIp6TextMax) return fail(ErrorCode::InvalidIp);
  if (text.find('.') == std::string_view::npos) return parse_ip6_groups(text);

  const auto last_colon = text.rfind(':');
  if (last_colon == std::string_view::npos) return fail(ErrorCode::InvalidIp);
  const auto tail = parse_ip4(text.substr(last_colon + 1));
  if (!tail) return fail(ErrorCode::InvalidIp);
  std::array<char, kIp6ScratchSize> scratch;
  const std::size_t head = last_colon + 1;
  std::memcpy(scratch.data(), text.data(), head);
  const auto& b = tail->bytes;
  append_hex_group(scratch.data() + head, static_cast<std::uint16_t>(b[0] << 8 | b[1]));
  scratch[head + 4] = ':';
  append_hex_group(scratch.data() + head + 5, static_cast<std::uint16_t>(b[2] << 8 | b[3]));
  return parse_ip6_groups(std::string_view(scratch.data(), head + 9));
}

Result<SocketAddress> parse_ip_port(std::string_view text, std::uint16_t port) noexcept {
  if (const auto v4 = parse_ip4(text)) return SocketAddress::ipv4(*v4, port);
  if (const auto v6 = parse_ip6(text)) return SocketAddress::ipv6(*v6, port);
  return fail(ErrorCode::InvalidAddress);
}

bool ip4_prefix_match(const Ip4Addr& a, const Ip4Addr& b, std::uint8_t length) noexcept {
  if (length > kIp4LengthMax) return false;
  if (length == 0) return true;
  const auto number = [](const Ip4Addr& x) {
    return std::uint32_t{x.bytes[0]} << 24 | std::uint32_t{x.bytes[1]} << 16 |
           std::uint32_t{x.bytes[2]} << 8 | std::uint32_t{x.bytes[3]};
  };
  const std::uint32_t mask = ~std::uint32_t{0} << (kIp4LengthMax - length);
  return (number(a) & mask) == (number(b) & mask);
}

bool ip6_prefix_match(const Ip6Addr& a, const Ip6Addr& b, std::uint8_t length) noexcept {
  if (length > kIp6LengthMax) return false;
  const std::size_t whole = length / 8;
  if (std::memcmp(a.bytes.data(), b.bytes.data(), whole) != 0) return false;
  const unsigned bits = length % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - bits));
  return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

Result<std::uint8_t> parse_cidr_length(std::string_view text, std::uint8_t max_value,
                                       std::size_t max_digits) noexcept {
  if (text.empty() || text.size() > max_digits) return fail(ErrorCode::InvalidCidr);
  if (text.size() > 1 && text[0] == '0') return fail(ErrorCode::InvalidCidr);
  unsigned value = 0;
  for (char c : text) {
    if (!is_ascii_digit(c)) return fail(ErrorCode::InvalidCidr);
    value = value * 10 + static_cast<unsigned>(c - '0');
    // Checked at every digit so that a large max_digits cannot overflow.
    if (value > max_value) return fail(ErrorCode::InvalidCidr);
  }
  return static_cast<std::uint8_t>(value);
}

FixedText<80> reverse_dns_name(const Ip4Addr& address) noexcept {
  FixedText<80> name;
  for (std::size_t i = kIp4Octets; i-- > 0;) {
    append_decimal(name, address.bytes[i]);
    name.append('.');
  }
  name.append("in-addr.arpa");
  return name;
}

FixedText<80> reverse_dns_name(const Ip6Addr& address) noexcept {
  FixedText<80> name;
  for (std::size_t i = address.bytes.size(); i-- > 0;) {
    name.append(kHexDigits[address.bytes[i] & 0xF]);
    name.append('.');
    name.append(kHexDigits[address.bytes[i] >> 4]);
    name.append('.');
  }
  name.append("ip6.arpa");
  return name;
}

FixedText<63> ip6_dotted_nibbles(const Ip6Addr& address) noexcept {
  FixedText<63> text;
  for (std::size_t i = 0; i < address.bytes.size(); ++i) {
    if (i > 0) text.append('.');
    text.append(kHexDigits[address.bytes[i] >> 4]);
    text.append('.');
    text.append(kHexDigits[address.bytes[i] & 0xF]);
  }
  return text;
}

UnmappedAddress unmap_ipv4_mapped(std::string_view text) noexcept {
  UnmappedAddress result;
  result.original_ = text;
  if (text.find(':') == std::string_view::npos) return result;
  const auto v6 = parse_ip6(text);
  if (!v6) return result;
  const auto& b = v6->bytes;
  for (std::size_t i = 0; i < 10; ++i) {
    if (b[i] != 0) return result;
  }
  if (b[10] != 0xFF || b[11] != 0xFF) return result;
  for (std::size_t i = 12; i < 16; ++i) {
    if (i > 12) result.dotted_.append('.');
    append_decimal(result.dotted_, b[i]);
  }
  result.unmapped_ = true;
  return result;
}

}  // namespace tessvane
