#pragma once
// The milter wire vocabulary: packet limits, command and response codes with
// their names for log lines, and the option-negotiation constants.
//
// A packet in either direction is a 4-byte big-endian length followed by that
// many bytes: one command (or response) byte and length - 1 bytes of payload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessvane {

// Size of the length prefix in front of every packet.
inline constexpr std::size_t kPacketLengthSize = 4;
// Largest incoming packet length and largest outgoing reply body.
inline constexpr std::uint32_t kMaxPacketLength = 0x100000;

// A 32-bit word as it goes on the wire (lengths, negotiation words, header
// occurrence numbers).
constexpr std::array<std::byte, 4> u32_be(std::uint32_t value) noexcept {
  return {std::byte(value >> 24 & 0xFF), std::byte(value >> 16 & 0xFF),
          std::byte(value >> 8 & 0xFF), std::byte(value & 0xFF)};
}

// Command bytes the MTA sends.
enum class MilterCommand : std::uint8_t {
  Abort = 'A',
  Body = 'B',
  Connect = 'C',
  Macro = 'D',
  BodyEob = 'E',
  Helo = 'H',
  QuitNc = 'K',
  Header = 'L',
  Mail = 'M',
  Eoh = 'N',
  OptNeg = 'O',
  Quit = 'Q',
  Rcpt = 'R',
  Data = 'T',
  Unknown = 'U',
};

// Response bytes this system sends; no other response is ever produced.
enum class MilterResponse : std::uint8_t {
  OptNeg = 'O',
  Continue = 'c',
  Accept = 'a',
  TempFail = 't',
  ChgHeader = 'm',
  InsHeader = 'i',
};

// "SMFIC_HELO" for a known command byte; otherwise "command 0x5A" style text.
std::string milter_command_name(std::uint8_t command);
// "SMFIR_CONTINUE" etc.
std::string_view milter_response_name(MilterResponse response) noexcept;

// Option negotiation.
inline constexpr std::uint32_t kMilterVersion = 6;
inline constexpr std::uint32_t kSmfifAddHdrs = 0x01;
inline constexpr std::uint32_t kSmfifChgHdrs = 0x10;
inline constexpr std::uint32_t kSmfipNoBody = 0x10;
// Version, actions and protocol flags of an SMFIC_OPTNEG payload.
inline constexpr std::size_t kOptNegPayloadMin = 12;

// What the worker answers to an offer: its version, and the masks ANDed with
// the offered action and protocol flags.
struct NegotiationMasks {
  std::uint32_t version = kMilterVersion;
  std::uint32_t actions = kSmfifAddHdrs | kSmfifChgHdrs;
  std::uint32_t protocol = kSmfipNoBody;
};

}  // namespace tessvane
