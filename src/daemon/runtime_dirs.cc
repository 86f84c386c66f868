#include "daemon/runtime_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/c_path.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "daemon/dir_walk.h"
#include "log/logger.h"

namespace tessvane {
namespace {

static_assert(kRuntimeDirMax == kCPathMax);

constexpr mode_t kRuntimeDirMode = 0755;

void warn(std::string_view step, std::string_view dir, ErrorCode error) {
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, cat(step, " ", dir, ": error.", error_name(error)));
  }
}

// Whether owner, with no supplementary groups (as after the privilege drop),
// may create and delete entries in the directory.
bool writable_by(const struct stat& info, const Owner& owner) noexcept {
  if (info.st_uid == owner.uid) return (info.st_mode & S_IWUSR) != 0;
  if (info.st_gid == owner.gid) return (info.st_mode & S_IWGRP) != 0;
  return (info.st_mode & S_IWOTH) != 0;
}

// A directory that was there before keeps its owner and mode: it may be a
// system directory (/var/run) or the MTA's. What the administrator may still
// want to know is that the user will not be able to bind a socket there, nor
// remove the pid file at exit.
void check_existing(std::string_view dir, std::string_view path,
                    const std::optional<Owner>& owner) {
  auto fd = open_dir_no_redirect(dir);
  if (!fd) return warn("open", dir, fd.error());
  struct stat info {};
  if (!owner || ::fstat(fd->get(), &info) != 0 || writable_by(info, *owner)) return;
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning,
                cat("runtime directory ", dir, " is not writable by uid ", owner->uid, ": ", path,
                    " cannot be created or removed there once privileges are dropped"));
  }
}

// The new directory is opened through the descriptor it was made in, never
// through a link, and given its mode (mkdir applies the file-creation mask;
// 0755 lets the MTA reach the sockets inside) and owner through that
// descriptor.
void settle_created(int parent, const char* name, std::string_view dir,
                    const std::optional<Owner>& owner) {
  UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return warn("open", dir, error_from_errno(errno));
  if (::fchmod(fd.get(), kRuntimeDirMode) != 0) warn("chmod", dir, error_from_errno(errno));
  if (!owner) return;
  int rc = 0;
  do {
    rc = ::fchown(fd.get(), owner->uid, owner->gid);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) warn("chown", dir, error_from_errno(errno));
}

}  // namespace

std::optional<std::string_view> containing_dir(std::string_view path) noexcept {
  std::string_view trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view dir = trimmed.substr(0, slash);
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  if (dir.empty()) return path.substr(0, 1);
  return dir;
}

void prepare_runtime_dir(std::string_view path, const std::optional<Owner>& owner) {
  const auto dir = containing_dir(path);
  if (!dir) return;
  auto c_dir = CPath::from(*dir);
  if (!c_dir) return warn("mkdir", *dir, c_dir.error());
  const std::string_view name = last_component(*dir);
  if (name.empty()) return;  // the root directory
  const auto c_name = CPath::from(name);
  auto parent = open_dir_no_redirect(containing_dir(*dir).value_or("."));
  if (!parent) return warn("mkdir", *dir, parent.error());
  if (::mkdirat(parent->get(), c_name->get(), kRuntimeDirMode) == 0) {
    return settle_created(parent->get(), c_name->get(), *dir, owner);
  }
  if (errno != EEXIST) return warn("mkdir", *dir, error_from_errno(errno));
  check_existing(*dir, path, owner);
}

}  // namespace tessvane
