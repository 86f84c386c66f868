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
// Protocol 6 flags by which the filter asks the MTA to leave a step out
// (SMFIP_NO*) or to go on after a step without waiting for an answer
// (SMFIP_NR_*).
inline constexpr std::uint32_t kSmfipNoRcpt = 0x08;
inline constexpr std::uint32_t kSmfipNrHdr = 0x80;
inline constexpr std::uint32_t kSmfipNoUnknown = 0x100;
inline constexpr std::uint32_t kSmfipNoData = 0x200;
inline constexpr std::uint32_t kSmfipNrConn = 0x1000;
inline constexpr std::uint32_t kSmfipNrHelo = 0x2000;
inline constexpr std::uint32_t kSmfipNrMail = 0x4000;
inline constexpr std::uint32_t kSmfipNrRcpt = 0x8000;
inline constexpr std::uint32_t kSmfipNrData = 0x10000;
inline constexpr std::uint32_t kSmfipNrUnkn = 0x20000;
inline constexpr std::uint32_t kSmfipNrEoh = 0x40000;
// The one-round-trip conversation (MilterOneRoundTrip): no recipients, body,
// DATA or unknown commands, which the policy never uses, and no answer to any
// step before end of message, whose answer is always SMFIR_CONTINUE.
inline constexpr std::uint32_t kOneRoundTripProtocol =
    kSmfipNoBody | kSmfipNoRcpt | kSmfipNoUnknown | kSmfipNoData | kSmfipNrConn | kSmfipNrHelo |
    kSmfipNrMail | kSmfipNrRcpt | kSmfipNrData | kSmfipNrUnkn | kSmfipNrEoh | kSmfipNrHdr;
// The SMFIP_NR_* flag that spares the answer to a command, or 0.
std::uint32_t no_reply_flag(std::uint8_t command) noexcept;
// Version, actions and protocol flags of an SMFIC_OPTNEG payload.
inline constexpr std::size_t kOptNegPayloadMin = 12;

// What the worker answers to an offer: its version, and the masks ANDed with
// the offered action and protocol flags.
struct NegotiationMasks {
  std::uint32_t version = kMilterVersion;
  std::uint32_t actions = kSmfifAddHdrs | kSmfifChgHdrs;
  std::uint32_t protocol = kSmfipNoBody;
};

// The masks of the daemon: the specified protocol, or with one_round_trip the
// no-reply flags and skipped steps above, as far as the MTA offers them.
constexpr NegotiationMasks negotiation_masks(bool one_round_trip) noexcept {
  NegotiationMasks masks;
  if (one_round_trip) masks.protocol = kOneRoundTripProtocol;
  return masks;
}

}  // namespace tessvane
