#pragma once
// A path copied, with its terminating NUL, into a fixed buffer for the system
// calls that take C strings: no allocation, so the callers that must not fail
// (removing the pid file, preparing directories) stay free of bad_alloc.

#include <array>
#include <cstring>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

// Paths of this many bytes or more are refused.
inline constexpr std::size_t kCPathMax = 1024;

class CPath {
 public:
  // Errors: NameTooLong for kCPathMax bytes or more, InvalidPath for a path
  // holding a NUL byte (the system would silently cut it there).
  static Result<CPath> from(std::string_view path) noexcept {
    if (path.size() >= kCPathMax) return fail(ErrorCode::NameTooLong);
    if (path.find('\0') != std::string_view::npos) return fail(ErrorCode::InvalidPath);
    CPath out;
    std::memcpy(out.chars_.data(), path.data(), path.size());
    out.chars_[path.size()] = '\0';
    return out;
  }

  const char* get() const noexcept { return chars_.data(); }

 private:
  CPath() noexcept = default;
  std::array<char, kCPathMax> chars_;
};

}  // namespace tessvane
