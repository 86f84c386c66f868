#pragma once
// Cuts milter packets out of a connection's input buffer. Pure and
// incremental: bytes go in through append_input, take_packet yields a packet,
// "need more input", or PacketTooLarge; nothing here reads a socket.

#include <cstdint>
#include <optional>

#include "base/byte_reader.h"
#include "base/error_code.h"
#include "milter/connection.h"

namespace tessvane {

// One complete packet. payload points into the input buffer and stays valid
// until the packet is consumed or the buffer changes.
struct MilterPacket {
  std::uint8_t command = 0;
  Bytes payload;
};

// The buffer's capacity after a packet has been consumed: a larger one (left
// by a large packet) is given back, so that an idle connection holds little.
inline constexpr std::size_t kInputKeepCapacity = 65536;
// Growth stops doubling here: the buffer never needs more than one whole
// packet and the rest of the read that completed it.
inline constexpr std::size_t kInputDoublingLimit = kPacketLengthSize + kMaxPacketLength;

// Appends bytes read from the socket. OutOfMemory leaves the buffer as it was.
Status append_input(InputBuffer& input, Bytes bytes);

// The packet at the head of the buffer, or nullopt when more input is needed.
// A length of 0 or above 1048576 is PacketTooLarge (the connection is then
// beyond repair: milter framing cannot resynchronise). The length is decoded
// once and remembered until the packet is consumed.
Result<std::optional<MilterPacket>> take_packet(InputBuffer& input);

// Removes the packet that take_packet returned last (length + 4 bytes) and
// forgets its length; shrinks the buffer back to what it holds when its
// capacity is above kInputKeepCapacity. Only call it after take_packet
// returned a packet.
void consume_packet(InputBuffer& input);

}  // namespace tessvane
