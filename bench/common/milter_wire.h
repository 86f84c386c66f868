#pragma once
// The milter protocol 6 vocabulary both bench programs need: framing, and the
// protocol flags that let a filter skip a step (the MTA does not send it) or
// leave it unanswered (the MTA sends it and does not wait).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessvane::bench {

inline constexpr std::uint32_t kMilterVersion = 6;
inline constexpr std::uint32_t kMaxPacket = 0x100000;

// Actions (SMFIF_*).
inline constexpr std::uint32_t kActAddHeaders = 0x01;
inline constexpr std::uint32_t kActChangeHeaders = 0x10;
inline constexpr std::uint32_t kAllActions = 0x1FF;

// Protocol flags (SMFIP_*).
inline constexpr std::uint32_t kNoConnect = 0x1;
inline constexpr std::uint32_t kNoHelo = 0x2;
inline constexpr std::uint32_t kNoMail = 0x4;
inline constexpr std::uint32_t kNoRcpt = 0x8;
inline constexpr std::uint32_t kNoBody = 0x10;
inline constexpr std::uint32_t kNoHeaders = 0x20;
inline constexpr std::uint32_t kNoEoh = 0x40;
inline constexpr std::uint32_t kNoReplyHeader = 0x80;
inline constexpr std::uint32_t kNoUnknown = 0x100;
inline constexpr std::uint32_t kNoData = 0x200;
inline constexpr std::uint32_t kNoReplyConnect = 0x1000;
inline constexpr std::uint32_t kNoReplyHelo = 0x2000;
inline constexpr std::uint32_t kNoReplyMail = 0x4000;
inline constexpr std::uint32_t kNoReplyRcpt = 0x8000;
inline constexpr std::uint32_t kNoReplyData = 0x10000;
inline constexpr std::uint32_t kNoReplyUnknown = 0x20000;
inline constexpr std::uint32_t kNoReplyEoh = 0x40000;
inline constexpr std::uint32_t kNoReplyBody = 0x80000;
inline constexpr std::uint32_t kHeaderLeadingSpace = 0x100000;
// Every flag protocol 6 defines: what an MTA that supports them all offers.
inline constexpr std::uint32_t kAllProtocol = 0x1FFFFF;

// What a filter that needs one round trip per message asks for: no answer
// to any step before end of message, and recipients, DATA, unknown commands
// and the body not sent at all.
inline constexpr std::uint32_t kOneRoundTrip =
    kNoRcpt | kNoBody | kNoData | kNoUnknown | kNoReplyConnect | kNoReplyHelo | kNoReplyMail |
    kNoReplyRcpt | kNoReplyData | kNoReplyUnknown | kNoReplyEoh | kNoReplyHeader;

// The flag that removes a command from the conversation, and the one that
// removes its answer; 0 where protocol 6 has none.
std::uint32_t skip_flag(char command) noexcept;
std::uint32_t no_reply_flag(char command) noexcept;

// The final answers at end of message (anything else there is a
// modification or a progress report).
bool is_final_reply(char code) noexcept;

void append_u32(std::string& out, std::uint32_t value);
std::uint32_t load_u32(std::string_view bytes) noexcept;  // at least 4 bytes
void append_packet(std::string& out, char command, std::string_view payload = {});

struct Packet {
  char code = 0;
  std::string_view payload;
  std::size_t wire_size = 0;  // length prefix included
};

// The packet at the front of buffer; nullopt when it is not complete yet.
// A length of 0 or above kMaxPacket sets *bad.
std::optional<Packet> front_packet(std::string_view buffer, bool* bad) noexcept;

}  // namespace tessvane::bench
