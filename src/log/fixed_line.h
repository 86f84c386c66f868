#pragma once
// A log text built in a fixed buffer of one log line, for the messages that
// must be written when memory has run out and for the line of every message,
// which should cost no allocation. What does not fit is dropped (the logger
// would cut the line there anyway).

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
  FixedLine& signed_number(std::int64_t value) noexcept {
    if (value >= 0) return *this << static_cast<std::uint64_t>(value);
    // The magnitude of the most negative value fits only unsigned.
    return *this << "-" << (0 - static_cast<std::uint64_t>(value));
  }
  // A peer-supplied text as log lines show it: every byte outside 0x21..0x7E
  // becomes '_', an empty text is "-" (the rule of append_sanitized).
  FixedLine& sanitized(std::string_view piece) noexcept {
    if (piece.empty()) return *this << "-";
    const std::size_t n = std::min(piece.size(), buffer_.size() - length_);
    for (std::size_t i = 0; i < n; ++i) {
      const auto byte = static_cast<unsigned char>(piece[i]);
      buffer_[length_ + i] = byte >= 0x21 && byte <= 0x7E ? piece[i] : '_';
    }
    length_ += n;
    return *this;
  }
  std::string_view text() const noexcept { return {buffer_.data(), length_}; }

 private:
  std::array<char, kLogLineMax> buffer_;
  std::size_t length_ = 0;
};

}  // namespace tessvane
