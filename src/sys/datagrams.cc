#include "sys/datagrams.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace tessvane::sys {

std::size_t send_datagrams(int fd, std::span<const std::string_view> datagrams) noexcept {
  std::array<iovec, kMaxDatagramsPerCall> pieces{};
  std::array<mmsghdr, kMaxDatagramsPerCall> messages{};
  const std::size_t total = datagrams.size();
  while (!datagrams.empty()) {
    const std::size_t count = std::min(datagrams.size(), kMaxDatagramsPerCall);
    for (std::size_t i = 0; i < count; ++i) {
      // sendmmsg does not write through the base; the cast only fits iovec.
      pieces[i] = {const_cast<char*>(datagrams[i].data()), datagrams[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &pieces[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    // int on Linux, ssize_t on FreeBSD.
    const auto sent = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) break;
    // Any other refusal loses the first datagram not taken, as its own send
    // would have lost it; the call goes on with the next.
    const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 1;
    datagrams = datagrams.subspan(std::min(done, datagrams.size()));
  }
  return total - datagrams.size();
}

}  // namespace tessvane::sys
