#pragma once
// Opening the directory of a runtime file as root so that nobody else can
// redirect it. The path is walked one component at a time with openat from
// the previous directory's descriptor and O_NOFOLLOW. A symbolic link on the
// way is followed only when it lies in a directory that only root can change
// (so root placed it, as with /var/run -> /run); a link in a directory the
// daemon's user or anyone else may write to is refused.

#include <string_view>

#include "base/error_code.h"
#include "base/unique_fd.h"

namespace tessvane {

// The directory itself, read-only and close-on-exec; a relative path starts
// at the working directory. Errors: NameTooLong (kCPathMax bytes or more, or
// a component beyond the system's name limit), InvalidPath (a NUL byte),
// SymLinkLoop (a link that is not followed), and the system's refusals by
// their names (FileNotFound, NotDir, AccessDenied, ...).
Result<UniqueFd> open_dir_no_redirect(std::string_view dir);

// The last component of path, trailing '/' ignored ("tessvane.pid" for
// "/run/tessvane/tessvane.pid"); empty for "" and "/".
std::string_view last_component(std::string_view path) noexcept;

// Whether only root can change the directory: owned by root, not writable by
// its group or others. Only there is a symbolic link trusted.
bool only_root_writes(int dir_fd) noexcept;

}  // namespace tessvane
