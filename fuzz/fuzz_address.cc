// Feeds one text to every address reader and checks what must hold for any
// input: a successful parse reads back to the same address, the derived texts
// have their fixed lengths, and the prefix matches agree with a bit-by-bit
// comparison.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/number.h"
#include "base/text.h"
#include "net/address.h"

namespace tessvane {
namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::string dotted_quad(const Ip4Addr& address) {
  return cat(unsigned{address.bytes[0]}, '.', unsigned{address.bytes[1]}, '.',
             unsigned{address.bytes[2]}, '.', unsigned{address.bytes[3]});
}

// Eight groups of four lowercase hex digits.
std::string full_ip6(const Ip6Addr& address) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < address.bytes.size(); ++i) {
    if (i > 0 && i % 2 == 0) out += ':';
    out += kHex[address.bytes[i] >> 4];
    out += kHex[address.bytes[i] & 0xF];
  }
  return out;
}

void check_ip4(std::string_view text) {
  const auto v4 = parse_ip4(text);
  if (!v4) {
    const auto e = v4.error();
    require(e == ErrorCode::InvalidCharacter || e == ErrorCode::Overflow ||
            e == ErrorCode::NonCanonical || e == ErrorCode::InvalidEnd ||
            e == ErrorCode::Incomplete);
    return;
  }
  // The strict dotted quad has exactly one spelling per address.
  require(dotted_quad(*v4) == text);
  const auto name = reverse_dns_name(*v4);
  const auto reverse = name.view();
  require(reverse.size() >= 20 && reverse.size() <= 28 && reverse.ends_with(".in-addr.arpa"));
  const auto mapped = parse_ip6(cat("::ffff:", text));
  require(mapped.has_value() && unmap_ipv4_mapped(cat("::ffff:", text)).text() == text);
}

void check_ip6(std::string_view text) {
  const auto v6 = parse_ip6(text);
  if (!v6) {
    require(v6.error() == ErrorCode::InvalidIp);
    return;
  }
  require(!text.empty() && text.size() <= 45);
  require(parse_ip6(full_ip6(*v6)) == *v6);
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  require(parse_ip6(upper) == *v6);
  const auto name = reverse_dns_name(*v6);
  const auto reverse = name.view();
  require(reverse.size() == 72 && reverse.ends_with(".ip6.arpa"));
  require(ip6_dotted_nibbles(*v6).view().size() == 63);
}

void check_ip_port(std::string_view text, std::uint16_t port) {
  const auto address = parse_ip_port(text, port);
  const bool v4 = parse_ip4(text).has_value();
  const bool v6 = parse_ip6(text).has_value();
  if (!address) {
    require(address.error() == ErrorCode::InvalidAddress && !v4 && !v6);
    return;
  }
  require(address->family() == (v4 ? AF_INET : AF_INET6) && (v4 || v6));
  require(address->port() == port);
  require(address->length() == (v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)));
  require(address->same_endpoint(address->data(), address->length()));
}

void check_cidr(std::string_view text, std::uint8_t max_value, std::size_t max_digits) {
  const auto length = parse_cidr_length(text, max_value, max_digits);
  if (!length) {
    require(length.error() == ErrorCode::InvalidCidr);
    return;
  }
  require(*length <= max_value && text.size() <= max_digits);
  char digits[20];
  require(std::string_view(digits, format_decimal(*length, digits)) == text);
}

void check_unmap(std::string_view text) {
  const auto result = unmap_ipv4_mapped(text);
  if (!result.was_mapped()) {
    require(result.text().data() == text.data() && result.text().size() == text.size());
    return;
  }
  const auto v6 = parse_ip6(text);
  const auto v4 = parse_ip4(result.text());
  require(v6.has_value() && v4.has_value());
  for (std::size_t i = 0; i < 4; ++i) require(v6->bytes[12 + i] == v4->bytes[i]);
}

template <std::size_t N>
bool bits_agree(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b,
                unsigned length) {
  for (unsigned bit = 0; bit < length; ++bit) {
    const unsigned shift = 7 - bit % 8;
    if (((a[bit / 8] >> shift) & 1) != ((b[bit / 8] >> shift) & 1)) return false;
  }
  return true;
}

// 16 + 16 bytes of addresses and one length byte from the input.
void check_prefix_match(const std::uint8_t* data, std::size_t size) {
  if (size < 33) return;
  Ip6Addr a6, b6;
  std::copy(data, data + 16, a6.bytes.begin());
  std::copy(data + 16, data + 32, b6.bytes.begin());
  const std::uint8_t length = data[32];
  Ip4Addr a4, b4;
  std::copy(data, data + 4, a4.bytes.begin());
  std::copy(data + 16, data + 20, b4.bytes.begin());
  require(ip6_prefix_match(a6, b6, length) ==
          (length <= 128 && bits_agree(a6.bytes, b6.bytes, length)));
  require(ip4_prefix_match(a4, b4, length) ==
          (length <= 32 && bits_agree(a4.bytes, b4.bytes, length)));
  require(ip6_prefix_match(a6, a6, length) == (length <= 128));
}

}  // namespace
}  // namespace tessvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_ip4(text);
  check_ip6(text);
  check_ip_port(text, static_cast<std::uint16_t>(size * 257));
  check_cidr(text, 32, 2);
  check_cidr(text, 128, 3);
  check_unmap(text);
  check_prefix_match(data, size);
  return 0;
}
