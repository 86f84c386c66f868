#include "milter/framer.h"

#include <algorithm>
#include <new>
#include <vector>

namespace tessvane {

namespace {

// Doubles like a vector up to one whole packet, then grows only to need.
std::size_t grown_capacity(std::size_t capacity, std::size_t needed) noexcept {
  const std::size_t doubled = std::min(std::max(capacity, std::size_t{1}) * 2, kInputDoublingLimit);
  return std::max(needed, doubled);
}

}  // namespace

Status append_input(InputBuffer& input, Bytes bytes) {
  try {
    const std::size_t needed = input.bytes.size() + bytes.size();
    if (needed > input.bytes.capacity()) {
      input.bytes.reserve(grown_capacity(input.bytes.capacity(), needed));
    }
    input.bytes.insert(input.bytes.end(), bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return {};
}

Result<std::optional<MilterPacket>> take_packet(InputBuffer& input) {
  if (!input.length_known) {
    ByteReader head(input.bytes);
    const std::optional<std::uint32_t> length = head.read_u32_be();
    if (!length) return std::nullopt;
    input.pending_length = *length;
    input.length_known = true;
  }
  if (input.pending_length == 0 || input.pending_length > kMaxPacketLength) {
    return fail(ErrorCode::PacketTooLarge);
  }
  ByteReader reader(input.bytes, kPacketLengthSize);
  if (reader.remaining() < input.pending_length) return std::nullopt;
  MilterPacket packet;
  packet.command = *reader.read_u8();
  packet.payload = *reader.read_bytes(input.pending_length - 1);
  return packet;
}

void consume_packet(InputBuffer& input) {
  if (!input.length_known) return;
  const std::size_t total = kPacketLengthSize + input.pending_length;
  if (input.bytes.size() < total) return;
  input.bytes.erase(input.bytes.begin(), input.bytes.begin() + static_cast<std::ptrdiff_t>(total));
  input.pending_length = 0;
  input.length_known = false;
  if (input.bytes.capacity() > kInputKeepCapacity && input.bytes.size() <= kInputKeepCapacity) {
    try {
      std::vector<std::byte> smaller(input.bytes.begin(), input.bytes.end());
      input.bytes.swap(smaller);
    } catch (const std::bad_alloc&) {
      // The large buffer stays until a later packet tries again.
    }
  }
}

}  // namespace tessvane
