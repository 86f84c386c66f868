#pragma once
// The bounds-checked cursor through which every untrusted byte string (DNS
// messages, milter packets, configuration and list files) is read.
//
// Contract: the position starts at the given offset and only moves forward by
// a successful read or skip, or by seek. A read that would pass the end fails
// (empty optional / false) and leaves the position unchanged. No length or
// count taken from the data is trusted: every read is checked against the
// bytes really present, so nothing is allocated for a claimed size.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tessvane {

using Bytes = std::span<const std::byte>;

inline Bytes as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}
inline std::string_view as_text(Bytes bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

class ByteReader {
 public:
  explicit ByteReader(Bytes data, std::size_t position = 0) noexcept
      : data_(data), position_(position <= data.size() ? position : data.size()) {}
  explicit ByteReader(std::string_view text) noexcept : ByteReader(as_bytes(text)) {}

  std::size_t size() const noexcept { return data_.size(); }
  std::size_t position() const noexcept { return position_; }
  std::size_t remaining() const noexcept { return data_.size() - position_; }
  bool at_end() const noexcept { return position_ == data_.size(); }
  Bytes data() const noexcept { return data_; }
  Bytes rest() const noexcept { return data_.subspan(position_); }

  // Moves to an absolute offset; false (position unchanged) when it lies past
  // the end. The end itself is a valid position.
  bool seek(std::size_t position) noexcept;
  bool skip(std::size_t count) noexcept;

  std::optional<std::uint8_t> peek_u8() const noexcept;
  std::optional<std::uint8_t> read_u8() noexcept;
  std::optional<std::uint16_t> read_u16_be() noexcept;
  std::optional<std::uint32_t> read_u32_be() noexcept;
  std::optional<Bytes> read_bytes(std::size_t count) noexcept;

  // The bytes up to the next delimiter; the delimiter is consumed but not
  // returned. Without a delimiter nothing is read.
  std::optional<Bytes> read_until(std::byte delimiter) noexcept;
  // Like read_until, but without a delimiter it returns everything left.
  Bytes read_until_or_end(std::byte delimiter) noexcept;

  // A reader limited to the next count bytes, which this reader skips.
  std::optional<ByteReader> sub_reader(std::size_t count) noexcept;

 private:
  Bytes data_;
  std::size_t position_;
};

}  // namespace tessvane
