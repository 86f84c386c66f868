#include "milter/peer_label.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace tessvane {

namespace {

PeerLabel from_text(std::string_view text) noexcept {
  PeerLabel label;
  label.length = std::min(text.size(), label.text.size());
  std::copy_n(text.data(), label.length, label.text.data());
  return label;
}

// inet_ntop's text, or "unknown" when it cannot produce one.
PeerLabel ntop(int family, const void* raw) noexcept {
  std::array<char, INET6_ADDRSTRLEN> buffer{};
  if (inet_ntop(family, raw, buffer.data(), static_cast<socklen_t>(buffer.size())) == nullptr) {
    return from_text("unknown");
  }
  return from_text(std::string_view(buffer.data()));
}

}  // namespace

PeerLabel peer_label(const sockaddr_storage& address, socklen_t length) noexcept {
  const auto size = static_cast<std::size_t>(length);
  if (size < sizeof(sa_family_t)) return from_text("unknown");
  if (address.ss_family == AF_INET) {
    if (size < sizeof(sockaddr_in)) return from_text("unknown");
    sockaddr_in in{};
    std::memcpy(&in, &address, sizeof in);
    return ntop(AF_INET, &in.sin_addr);
  }
  if (address.ss_family == AF_INET6) {
    if (size < sizeof(sockaddr_in6)) return from_text("unknown");
    sockaddr_in6 in6{};
    std::memcpy(&in6, &address, sizeof in6);
    return ntop(AF_INET6, &in6.sin6_addr);
  }
  return from_text("local");
}

}  // namespace tessvane
