#include "daemon/runtime_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "base/unique_fd.h"
#include "base/c_path.h"
#include "log/logger.h"

namespace tessvane {
namespace {

static_assert(kRuntimeDirMax == kCPathMax);

constexpr mode_t kRuntimeDirMode = 0755;

std::string_view without_trailing_slashes(std::string_view path) noexcept {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

void warn(std::string_view step, std::string_view dir, ErrorCode error) {
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, cat(step, " ", dir, ": error.", error_name(error)));
  }
}

// The directory itself, never a FIFO or device that happens to be there.
Result<UniqueFd> open_dir(std::string_view dir) {
  auto c_path = CPath::from(dir);
  if (!c_path) return fail(c_path.error());
  UniqueFd fd(::openat(AT_FDCWD, c_path->get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return fail(error_from_errno(errno));
  return fd;
}

// mkdir applies the file-creation mask; the new directory gets 0755 whatever
// the mask, so that the MTA can reach the sockets inside.
void create_dir(std::string_view dir) {
  auto c_path = CPath::from(dir);
  if (!c_path) return warn("mkdir", dir, c_path.error());
  if (::mkdirat(AT_FDCWD, c_path->get(), kRuntimeDirMode) != 0) {
    if (errno != EEXIST) warn("mkdir", dir, error_from_errno(errno));
    return;
  }
  auto fd = open_dir(dir);
  if (!fd) return warn("open", dir, fd.error());
  if (::fchmod(fd->get(), kRuntimeDirMode) != 0) warn("chmod", dir, error_from_errno(errno));
}

void change_owner(std::string_view dir, const Owner& owner) {
  auto fd = open_dir(dir);
  if (!fd) return warn("open", dir, fd.error());
  int rc = 0;
  do {
    rc = ::fchown(fd->get(), owner.uid, owner.gid);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) warn("chown", dir, error_from_errno(errno));
}

}  // namespace

std::optional<std::string_view> containing_dir(std::string_view path) noexcept {
  const std::string_view trimmed = without_trailing_slashes(path);
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view dir = without_trailing_slashes(trimmed.substr(0, slash));
  if (dir.empty()) return path.substr(0, 1);
  return dir;
}

void prepare_runtime_dir(std::string_view path, const std::optional<Owner>& owner) {
  const auto dir = containing_dir(path);
  if (!dir) return;
  create_dir(*dir);
  if (owner) change_owner(*dir, *owner);
}

}  // namespace tessvane
