#include "common/milter_wire.h"

namespace tessvane::bench {

std::uint32_t skip_flag(char command) noexcept {
  switch (command) {
    case 'C': return kNoConnect;
    case 'H': return kNoHelo;
    case 'M': return kNoMail;
    case 'R': return kNoRcpt;
    case 'B': return kNoBody;
    case 'L': return kNoHeaders;
    case 'N': return kNoEoh;
    case 'U': return kNoUnknown;
    case 'T': return kNoData;
    default: return 0;
  }
}

std::uint32_t no_reply_flag(char command) noexcept {
  switch (command) {
    case 'C': return kNoReplyConnect;
    case 'H': return kNoReplyHelo;
    case 'M': return kNoReplyMail;
    case 'R': return kNoReplyRcpt;
    case 'B': return kNoReplyBody;
    case 'L': return kNoReplyHeader;
    case 'N': return kNoReplyEoh;
    case 'U': return kNoReplyUnknown;
    case 'T': return kNoReplyData;
    default: return 0;
  }
}

bool is_final_reply(char code) noexcept {
  switch (code) {
    case 'a': case 'c': case 'd': case 'r': case 't': case 'y': return true;
    default: return false;
  }
}

void append_u32(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value >> 24 & 0xFF));
  out.push_back(static_cast<char>(value >> 16 & 0xFF));
  out.push_back(static_cast<char>(value >> 8 & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

std::uint32_t load_u32(std::string_view bytes) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

void append_packet(std::string& out, char command, std::string_view payload) {
  append_u32(out, static_cast<std::uint32_t>(payload.size() + 1));
  out.push_back(command);
  out.append(payload);
}

std::optional<Packet> front_packet(std::string_view buffer, bool* bad) noexcept {
  *bad = false;
  if (buffer.size() < 4) return std::nullopt;
  const std::uint32_t length = load_u32(buffer);
  if (length == 0 || length > kMaxPacket) {
    *bad = true;
    return std::nullopt;
  }
  if (buffer.size() - 4 < length) return std::nullopt;
  return Packet{buffer[4], buffer.substr(5, length - 1), std::size_t{length} + 4};
}

}  // namespace tessvane::bench
