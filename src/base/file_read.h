#pragma once
// Reads a small text file (the configuration file, an address-list file) whole
// into memory. The path is taken relative to the working directory unless it
// is absolute; the descriptor is opened read-only and close-on-exec and is
// closed before the call returns.
//
// Errors: NameTooLong for a path of kMaxPathLength bytes or more, InvalidPath
// for a path holding a NUL byte, the platform's open/read error (FileNotFound,
// AccessDenied, IsDir, ...), FileTooBig when the file holds more than
// max_bytes, OutOfMemory.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

inline constexpr std::size_t kMaxPathLength = 1024;
inline constexpr std::size_t kMaxTextFileBytes = 1048576;  // 1 MiB

Result<std::string> read_whole_file(std::string_view path,
                                    std::size_t max_bytes = kMaxTextFileBytes);

// read_whole_file for a file that must be a regular one (an address list):
// a FIFO, device or socket at the path (links followed) is refused with
// NotRegularFile before it is opened, a directory with IsDir, instead of
// being read as whatever it yields.
//
// With a reader, the file must also be one that reader could read by its
// mode bits (owner, then group, then others; supplementary groups do not
// count, as the daemon drops them): root reading on behalf of the account it
// will run as must not hand that account a file it could not read itself,
// through a link planted where the account may write. Refused with
// AccessDenied.
struct FileReader {
  uid_t uid = 0;
  gid_t gid = 0;
};
Result<std::string> read_regular_file(std::string_view path,
                                      std::size_t max_bytes = kMaxTextFileBytes,
                                      const FileReader* reader = nullptr);

}  // namespace tessvane
