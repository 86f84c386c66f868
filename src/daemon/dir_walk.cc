#include "daemon/dir_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/c_path.h"

namespace tessvane {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// One step down from parent. O_NOFOLLOW refuses a link with ELOOP on Linux
// and EMLINK on FreeBSD, so the entry is looked at itself before deciding.
Result<UniqueFd> open_component(int parent, std::string_view name) {
  auto c_name = CPath::from(name);
  if (!c_name) return fail(c_name.error());
  UniqueFd fd(::openat(parent, c_name->get(), kDirFlags | O_NOFOLLOW));
  if (fd) return fd;
  const int err = errno;
  struct stat entry {};
  if (::fstatat(parent, c_name->get(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISLNK(entry.st_mode)) {
    return fail(error_from_errno(err));
  }
  if (!only_root_writes(parent)) return fail(ErrorCode::SymLinkLoop);
  UniqueFd followed(::openat(parent, c_name->get(), kDirFlags));
  if (!followed) return fail(error_from_errno(errno));
  return followed;
}

}  // namespace

bool only_root_writes(int dir_fd) noexcept {
  struct stat info {};
  if (::fstat(dir_fd, &info) != 0) return false;
  return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string_view last_component(std::string_view path) noexcept {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

Result<UniqueFd> open_dir_no_redirect(std::string_view dir) {
  if (auto checked = CPath::from(dir); !checked) return fail(checked.error());
  UniqueFd current(::openat(AT_FDCWD, dir.starts_with('/') ? "/" : ".", kDirFlags));
  if (!current) return fail(error_from_errno(errno));
  while (!dir.empty()) {
    const std::size_t slash = dir.find('/');
    const std::string_view name = dir.substr(0, slash);
    dir = slash == std::string_view::npos ? std::string_view() : dir.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    auto next = open_component(current.get(), name);
    if (!next) return fail(next.error());
    current = std::move(*next);
  }
  return current;
}

}  // namespace tessvane
