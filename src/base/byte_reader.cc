#include "base/byte_reader.h"

#include <algorithm>

namespace tessvane {

bool ByteReader::seek(std::size_t position) noexcept {
  if (position > data_.size()) return false;
  position_ = position;
  return true;
}

bool ByteReader::skip(std::size_t count) noexcept {
  if (count > remaining()) return false;
  position_ += count;
  return true;
}

std::optional<std::uint8_t> ByteReader::peek_u8() const noexcept {
  if (at_end()) return std::nullopt;
  return static_cast<std::uint8_t>(data_[position_]);
}

std::optional<std::uint8_t> ByteReader::read_u8() noexcept {
  auto value = peek_u8();
  if (value) ++position_;
  return value;
}

std::optional<std::uint16_t> ByteReader::read_u16_be() noexcept {
  if (remaining() < 2) return std::nullopt;
  const auto hi = static_cast<std::uint16_t>(data_[position_]);
  const auto lo = static_cast<std::uint16_t>(data_[position_ + 1]);
  position_ += 2;
  return static_cast<std::uint16_t>(hi << 8 | lo);
}

std::optional<std::uint32_t> ByteReader::read_u32_be() noexcept {
  if (remaining() < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = value << 8 | static_cast<std::uint32_t>(data_[position_ + i]);
  }
  position_ += 4;
  return value;
}

std::optional<Bytes> ByteReader::read_bytes(std::size_t count) noexcept {
  if (count > remaining()) return std::nullopt;
  Bytes out = data_.subspan(position_, count);
  position_ += count;
  return out;
}

std::optional<Bytes> ByteReader::read_until(std::byte delimiter) noexcept {
  const Bytes tail = rest();
  const auto it = std::find(tail.begin(), tail.end(), delimiter);
  if (it == tail.end()) return std::nullopt;
  const auto length = static_cast<std::size_t>(it - tail.begin());
  position_ += length + 1;
  return tail.first(length);
}

Bytes ByteReader::read_until_or_end(std::byte delimiter) noexcept {
  if (auto piece = read_until(delimiter)) return *piece;
  const Bytes tail = rest();
  position_ = data_.size();
  return tail;
}

std::optional<ByteReader> ByteReader::sub_reader(std::size_t count) noexcept {
  auto bytes = read_bytes(count);
  if (!bytes) return std::nullopt;
  return ByteReader(*bytes);
}

}  // namespace tessvane
