#pragma once
// The label that names a milter peer's socket address in log lines: an IPv4
// address in dotted decimal, an IPv6 address in the text form of inet_ntop
// (RFC 5952 compression, so "::1"; an IPv4-mapped address stays
// "::ffff:192.0.2.1"; no scope, no port), "local" for any other family (a
// Unix-domain peer), "unknown" when no text can be produced. At most
// kPeerLabelMax bytes.

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "milter/connection.h"

namespace tessvane {

struct PeerLabel {
  std::array<char, kPeerLabelMax> text{};
  std::size_t length = 0;

  std::string_view view() const noexcept { return {text.data(), length}; }
};

// address holds length valid bytes, as accept returned them.
PeerLabel peer_label(const sockaddr_storage& address, socklen_t length) noexcept;

}  // namespace tessvane
