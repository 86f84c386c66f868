#pragma once
// The listening sockets the workers accept milter connections on: one per
// ListenerSpec, bound once and shared by every worker (each holds its own
// descriptor of it; the kernel wakes every worker that waits on it and the
// first free one takes the connection).

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

#include "base/error_code.h"
#include "base/unique_fd.h"
#include "config/settings.h"

namespace tessvane {

inline constexpr int kListenBacklog = 256;
// The longest UNIX-domain path: it must fit, with its terminating NUL, in the
// 104-byte path area of the smallest platform's sockaddr_un.
inline constexpr std::size_t kUnixPathMax = 103;

// The address a socket is really bound to, as getsockname reports it.
struct BoundAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const noexcept { return storage.ss_family; }
  // Host order; 0 for a UNIX-domain socket.
  std::uint16_t port() const noexcept;
  // The socket file of a UNIX-domain socket; empty for other families.
  std::string_view unix_path() const noexcept;
};

struct ListeningSocket {
  UniqueFd fd;  // non-blocking, close-on-exec, listening
  BoundAddress address;
};

// Creates, binds and listens (backlog kListenBacklog).
// TCP: the listener's IPv4 or IPv6 literal and port, SO_REUSEADDR set (a
// restart may bind while old connections linger) but no port reuse, so an
// address that is served already fails with AddressInUse; port 0 takes a
// port the kernel chooses (read back in address). UNIX-domain: a stale socket at the path is deleted first
// (errors ignored; any other kind of file is left alone and the bind then
// fails), SO_REUSEADDR only; the socket file gets no explicit
// mode or owner. Errors (the socket is closed): InvalidAddress for a TCP
// address that is no IP literal, InvalidPath for an empty UNIX-domain path or
// one holding a NUL byte, NameTooLong beyond kUnixPathMax bytes, and the
// system's refusals by their names (AddressInUse, AddressNotAvailable,
// AccessDenied, FileNotFound, NotDir, ReadOnlyFileSystem,
// AddressFamilyNotSupported, SymLinkLoop, SystemResources,
// ProcessFdQuotaExceeded, ...).
Result<ListeningSocket> open_listener(const ListenerSpec& spec);

}  // namespace tessvane
