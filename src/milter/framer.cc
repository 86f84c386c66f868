#include "milter/framer.h"

#include <new>

namespace tessvane {

Status append_input(InputBuffer& input, Bytes bytes) {
  try {
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
}

}  // namespace tessvane
