#pragma once
// The directories the daemon's runtime files live in (the pid file, the
// UNIX-domain socket files): created with mode 0755 when missing and then
// handed to the configured owner. Never stops start-up: every problem is a warning.

#include <optional>
#include <string_view>

#include "daemon/privileges.h"

namespace tessvane {

// Directory names of this many bytes or more are refused (NameTooLong).
inline constexpr std::size_t kRuntimeDirMax = 1024;

// The directory that contains path: the text before its last component,
// trailing '/' ignored; "/" for a file directly under the root. None for a
// path without any '/' (a file in the working directory).
std::optional<std::string_view> containing_dir(std::string_view path) noexcept;

// Creates containing_dir(path) (one level, mode exactly 0755 whatever the
// file-creation mask) and hands the new directory to the owner, if any. A
// directory that exists already keeps its owner and mode; with an owner that
// cannot write to it, a warning says so (a socket cannot be bound there, the
// pid file not removed at exit).
// The parent is reached with open_dir_no_redirect and the directory changed
// only through a descriptor opened without following links. Problems are
// logged as warnings "mkdir {dir}: {error}", "open {dir}: {error}",
// "chmod {dir}: {error}", "chown {dir}: {error}".
void prepare_runtime_dir(std::string_view path, const std::optional<Owner>& owner);

}  // namespace tessvane
