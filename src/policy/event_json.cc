#include "policy/event_json.h"

#include <array>

namespace tessvane {
namespace {

constexpr std::string_view kClientIpKey = "{\"client_ip\":\"";
constexpr std::string_view kHeloKey = "\",\"helo\":\"";
constexpr std::string_view kMailFromKey = "\",\"mail_from\":\"";
constexpr std::string_view kResultKey = "\",\"result\":\"";
constexpr std::string_view kDomainKey = "\",\"domain\":\"";
constexpr std::string_view kClose = "\"}";

// "\u00XX" for a control byte without a short escape; "\ufffd" (the
// replacement character) for a byte that is no part of valid UTF-8.
constexpr std::size_t kUnicodeEscapeSize = 6;
constexpr std::string_view kReplacement = "\\ufffd";

// The two-byte escape of a byte, or '\0' when it has none.
constexpr char short_escape(unsigned char byte) noexcept {
  switch (byte) {
    case 0x08: return 'b';
    case 0x09: return 't';
    case 0x0A: return 'n';
    case 0x0C: return 'f';
    case 0x0D: return 'r';
    case 0x22: return '"';
    case 0x5C: return '\\';
    default: return '\0';
  }
}

std::size_t escaped_ascii_size(unsigned char byte) noexcept {
  if (short_escape(byte) != '\0') return 2;
  return byte < 0x20 ? kUnicodeEscapeSize : 1;
}

unsigned char byte_at(std::string_view text, std::size_t i) noexcept {
  return static_cast<unsigned char>(text[i]);
}

// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF) that starts at a byte of 0x80 or
// above, or 0 when none does.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept {
  const unsigned char lead = byte_at(text, i);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = byte_at(text, i + k);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// Walks value as the JSON string writes it: each ASCII byte, each valid
// UTF-8 sequence, and each byte that belongs to none, given to the matching
// callback with its offset (and the sequence's length).
template <typename Ascii, typename Sequence, typename Invalid>
void walk_utf8(std::string_view value, Ascii ascii, Sequence sequence, Invalid invalid) {
  for (std::size_t i = 0; i < value.size();) {
    if (byte_at(value, i) < 0x80) {
      ascii(byte_at(value, i));
      ++i;
    } else if (const std::size_t length = utf8_sequence_length(value, i); length > 0) {
      sequence(value.substr(i, length));
      i += length;
    } else {
      invalid();
      ++i;
    }
  }
}

}  // namespace

std::size_t json_escaped_size(std::string_view value) noexcept {
  std::size_t size = 0;
  walk_utf8(
      value, [&](unsigned char byte) { size += escaped_ascii_size(byte); },
      [&](std::string_view sequence) { size += sequence.size(); },
      [&] { size += kReplacement.size(); });
  return size;
}

void append_json_escaped(std::string& out, std::string_view value) {
  static constexpr std::string_view kHexDigits = "0123456789abcdef";
  const auto ascii = [&](unsigned char byte) {
    if (const char escape = short_escape(byte); escape != '\0') {
      out.push_back('\\');
      out.push_back(escape);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 0x0F]);
    } else {
      out.push_back(static_cast<char>(byte));
    }
  };
  walk_utf8(
      value, ascii, [&](std::string_view sequence) { out.append(sequence); },
      [&] { out.append(kReplacement); });
}

std::string event_json(std::string_view client_ip, std::string_view helo,
                       std::string_view mail_from, std::string_view result,
                       std::string_view domain) {
  const std::array<std::string_view, 6> fixed = {kClientIpKey, kHeloKey,   kMailFromKey,
                                                 kResultKey,   kDomainKey, kClose};
  std::size_t size = json_escaped_size(client_ip) + json_escaped_size(helo) +
                     json_escaped_size(mail_from) + result.size() + json_escaped_size(domain);
  for (const std::string_view piece : fixed) size += piece.size();
  std::string json;
  json.reserve(size);
  json.append(kClientIpKey);
  append_json_escaped(json, client_ip);
  json.append(kHeloKey);
  append_json_escaped(json, helo);
  json.append(kMailFromKey);
  append_json_escaped(json, mail_from);
  json.append(kResultKey);
  json.append(result);
  json.append(kDomainKey);
  append_json_escaped(json, domain);
  json.append(kClose);
  return json;
}

}  // namespace tessvane
