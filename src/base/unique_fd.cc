#include "base/unique_fd.h"

#include <unistd.h>

namespace tessvane {

void UniqueFd::reset(int fd) noexcept {
  const int old = std::exchange(fd_, fd);
  // close() is not retried on EINTR: on Linux and FreeBSD the descriptor is
  // released either way, and a retry could close a reused number.
  if (old >= 0 && old != fd) ::close(old);
}

}  // namespace tessvane
