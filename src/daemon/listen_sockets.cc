#include "daemon/listen_sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "net/address.h"

namespace tessvane {
namespace {

static_assert(kUnixPathMax < sizeof(sockaddr_un{}.sun_path));

constexpr int kOn = 1;

Status set_flag(int fd, int level, int option) noexcept {
  if (::setsockopt(fd, level, option, &kOn, sizeof kOn) != 0) {
    return fail(error_from_errno(errno));
  }
  return {};
}

Result<UniqueFd> stream_socket(int family, int protocol) noexcept {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
  if (!fd) return fail(error_from_errno(errno));
  return fd;
}

// Binds, listens and reads back the address the kernel really chose.
Result<ListeningSocket> bind_and_listen(UniqueFd fd, const sockaddr* address,
                                        socklen_t length) noexcept {
  if (::bind(fd.get(), address, length) != 0) return fail(error_from_errno(errno));
  if (::listen(fd.get(), kListenBacklog) != 0) return fail(error_from_errno(errno));
  ListeningSocket out;
  out.address.length = sizeof out.address.storage;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&out.address.storage),
                    &out.address.length) != 0) {
    return fail(error_from_errno(errno));
  }
  out.fd = std::move(fd);
  return out;
}

// No port reuse: the address is bound once and the socket shared by the
// workers, so a second daemon (or any other program) on the same address
// fails with AddressInUse instead of silently taking part of the mail.
// SO_REUSEADDR only lets a restart bind while old connections linger.
// IPV6_V6ONLY: a listener on "::" means IPv6 only, as it does by default on
// FreeBSD, so that a second listener on 0.0.0.0 with the same port can bind
// on every platform.
Result<ListeningSocket> open_tcp(const ListenerSpec& spec) noexcept {
  auto address = parse_ip_port(spec.address, spec.port);
  if (!address) return fail(ErrorCode::InvalidAddress);
  auto fd = stream_socket(address->family(), IPPROTO_TCP);
  if (!fd) return fail(fd.error());
  Status options = set_flag(fd->get(), SOL_SOCKET, SO_REUSEADDR);
  if (options && address->family() == AF_INET6) {
    options = set_flag(fd->get(), IPPROTO_IPV6, IPV6_V6ONLY);
  }
  if (!options) return fail(options.error());
  return bind_and_listen(std::move(*fd), address->data(), address->length());
}

// Only a socket is removed: a path that names a regular file by mistake (a
// typing error in the configuration) must not cost that file; bind then
// fails with AddressInUse. A symbolic link is judged itself, not followed.
void remove_stale_socket(const char* path) noexcept {
  struct stat info {};
  if (::fstatat(AT_FDCWD, path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode)) {
    ::unlinkat(AT_FDCWD, path, 0);
  }
}

// The whole structure is passed, its path area zero-filled behind the path;
// systems with a length field take it from the length argument.
Result<ListeningSocket> open_unix(const ListenerSpec& spec) noexcept {
  const std::string_view path = spec.address;
  if (path.empty() || path.find('\0') != std::string_view::npos) {
    return fail(ErrorCode::InvalidPath);
  }
  if (path.size() > kUnixPathMax) return fail(ErrorCode::NameTooLong);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  remove_stale_socket(address.sun_path);
  auto fd = stream_socket(AF_UNIX, 0);
  if (!fd) return fail(fd.error());
  auto reuse = set_flag(fd->get(), SOL_SOCKET, SO_REUSEADDR);
  if (!reuse) return fail(reuse.error());
  return bind_and_listen(std::move(*fd), reinterpret_cast<const sockaddr*>(&address),
                         sizeof address);
}

}  // namespace

std::uint16_t BoundAddress::port() const noexcept {
  if (family() == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, &storage, sizeof v4);
    return ntohs(v4.sin_port);
  }
  if (family() == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &storage, sizeof v6);
    return ntohs(v6.sin6_port);
  }
  return 0;
}

std::string_view BoundAddress::unix_path() const noexcept {
  constexpr std::size_t kPathOffset = offsetof(sockaddr_un, sun_path);
  constexpr std::size_t kPathArea = sizeof(sockaddr_un{}.sun_path);
  const auto filled = static_cast<std::size_t>(length);
  if (family() != AF_UNIX || filled <= kPathOffset) return {};
  const std::size_t area = filled - kPathOffset < kPathArea ? filled - kPathOffset : kPathArea;
  const char* chars = reinterpret_cast<const char*>(&storage) + kPathOffset;
  const void* nul = std::memchr(chars, '\0', area);
  return {chars,
          nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - chars) : area};
}

Result<ListeningSocket> open_listener(const ListenerSpec& spec) {
  return spec.is_unix ? open_unix(spec) : open_tcp(spec);
}

}  // namespace tessvane
