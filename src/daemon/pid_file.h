#pragma once
// The pid file: a text file holding the daemon's process id in decimal and
// one line feed. Checked before daemonizing (refuse a second instance),
// written once the daemon process exists, removed on every exit after that.

#include <string_view>

#include "base/error_code.h"

namespace tessvane {

// Paths of this many bytes or more are refused (NameTooLong).
inline constexpr std::size_t kPidFilePathMax = 1024;
// A pid file is read only this far: a decimal pid never needs more.
inline constexpr std::size_t kPidFileReadMax = 32;

// Succeeds unless the file names a live process other than this one and its
// parent. A missing, unreadable, empty or malformed file, a pid of 0 or below,
// or a pid that no process holds (stale file) all succeed; a stale file is
// left in place to be overwritten. A live holder (or one the probe may not
// signal, e.g. another user's process) logs "pid file {path} is held by live
// process {pid}; refusing to start a second instance" at err and fails with
// AlreadyRunning.
Status check_pid_file(std::string_view path);

// Writes getpid() and a line feed into a new file (mode 0644 whatever the
// file-creation mask, close-on-exec) under a temporary name in the path's
// directory, then renames it into place: an existing file at the path, or
// one a link there leads to, is never opened or changed. The directory is
// opened with open_dir_no_redirect. Errors: NameTooLong for a path of
// kPidFilePathMax bytes or more, InvalidPath, FileNotFound for an empty
// path, IsDir for a path naming a directory, else the open, write or rename
// error.
Status write_pid_file(std::string_view path);

// Deletes the entry (in its directory opened as above); every error is
// ignored (it may be gone already).
void remove_pid_file(std::string_view path) noexcept;

}  // namespace tessvane
