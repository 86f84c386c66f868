#pragma once
// Sole owner of one file descriptor. Move-only; no conversion to int: the
// descriptor is reached through get() and given away through release().

#include <utility>

namespace tessvane {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held (once) and takes the new one.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace tessvane
