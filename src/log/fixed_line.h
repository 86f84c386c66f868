#pragma once
// A log text built in a fixed buffer of one log line, for the messages that
// must be written when memory has run out. What does not fit is dropped (the
// logger would cut the line there anyway).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/number.h"
#include "log/logger.h"

namespace tessvane {

class FixedLine {
 public:
  FixedLine& operator<<(std::string_view piece) noexcept {
    const std::size_t n = std::min(piece.size(), buffer_.size() - length_);
    std::memcpy(buffer_.data() + length_, piece.data(), n);
    length_ += n;
    return *this;
  }
  FixedLine& operator<<(std::uint64_t value) noexcept {
    char digits[20];
    return *this << std::string_view(digits, format_decimal(value, digits));
  }
  std::string_view text() const noexcept { return {buffer_.data(), length_}; }

 private:
  std::array<char, kLogLineMax> buffer_;
  std::size_t length_ = 0;
};

}  // namespace tessvane
