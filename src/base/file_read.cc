#include "base/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/unique_fd.h"

namespace tessvane {
namespace {

constexpr std::size_t kReadChunk = 65536;

// What kind of file may be read.
enum class Kind { Any, Regular };

Status check_kind(const struct stat& info, Kind kind) noexcept {
  // Some systems let read() return a directory's raw entries; never parse those.
  if (S_ISDIR(info.st_mode)) return fail(ErrorCode::IsDir);
  if (kind == Kind::Regular && !S_ISREG(info.st_mode)) return fail(ErrorCode::NotRegularFile);
  return {};
}

bool readable_by(const struct stat& info, const FileReader& reader) noexcept {
  if (info.st_uid == reader.uid) return (info.st_mode & S_IRUSR) != 0;
  if (info.st_gid == reader.gid) return (info.st_mode & S_IRGRP) != 0;
  return (info.st_mode & S_IROTH) != 0;
}

// Non-blocking: opening or reading a FIFO or device named by mistake must not
// hang start-up or the signal loop (a FIFO without data fails WouldBlock or
// reads as empty). No effect on regular files. A file that must be regular
// is looked at before it is opened too, since opening a device may act on it.
Result<UniqueFd> open_for_reading(const std::string& path, Kind kind, const FileReader* reader) {
  struct stat info {};
  if (kind == Kind::Regular && ::stat(path.c_str(), &info) == 0) {
    if (auto checked = check_kind(info, kind); !checked) return fail(checked.error());
  }
  UniqueFd fd(::openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return fail(error_from_errno(errno));
  if (::fstat(fd.get(), &info) != 0) return fail(error_from_errno(errno));
  if (auto checked = check_kind(info, kind); !checked) return fail(checked.error());
  if (reader != nullptr && !readable_by(info, *reader)) return fail(ErrorCode::AccessDenied);
  return fd;
}

// Reads until end of file, never holding more than max_bytes + 1 bytes: the
// size fstat reports is not trusted (the file may grow, or not be a file).
Status read_all(int fd, std::size_t max_bytes, std::string& out) {
  for (;;) {
    const std::size_t room = max_bytes + 1 - out.size();
    const std::size_t chunk = room < kReadChunk ? room : kReadChunk;
    const std::size_t before = out.size();
    out.resize(before + chunk);
    const ssize_t n = ::read(fd, out.data() + before, chunk);
    if (n < 0) {
      out.resize(before);
      if (errno == EINTR) continue;
      return fail(error_from_errno(errno));
    }
    out.resize(before + static_cast<std::size_t>(n));
    if (out.size() > max_bytes) return fail(ErrorCode::FileTooBig);
    if (n == 0) return {};
  }
}

Result<std::string> read_file(std::string_view path, std::size_t max_bytes, Kind kind,
                              const FileReader* reader) {
  if (path.size() >= kMaxPathLength) return fail(ErrorCode::NameTooLong);
  if (path.find('\0') != std::string_view::npos) return fail(ErrorCode::InvalidPath);
  try {
    const std::string terminated(path);
    auto fd = open_for_reading(terminated, kind, reader);
    if (!fd) return fail(fd.error());
    std::string content;
    auto status = read_all(fd->get(), max_bytes, content);
    if (!status) return fail(status.error());
    return content;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace

Result<std::string> read_whole_file(std::string_view path, std::size_t max_bytes) {
  return read_file(path, max_bytes, Kind::Any, nullptr);
}

Result<std::string> read_regular_file(std::string_view path, std::size_t max_bytes,
                                      const FileReader* reader) {
  return read_file(path, max_bytes, Kind::Regular, reader);
}

}  // namespace tessvane
