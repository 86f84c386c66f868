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

// "\u00XX" for a control byte without a short escape.
constexpr std::size_t kUnicodeEscapeSize = 6;

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

std::size_t escaped_byte_size(unsigned char byte) noexcept {
  if (short_escape(byte) != '\0') return 2;
  return byte < 0x20 ? kUnicodeEscapeSize : 1;
}

}  // namespace

std::size_t json_escaped_size(std::string_view value) noexcept {
  std::size_t size = 0;
  for (const char c : value) size += escaped_byte_size(static_cast<unsigned char>(c));
  return size;
}

void append_json_escaped(std::string& out, std::string_view value) {
  static constexpr std::string_view kHexDigits = "0123456789abcdef";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (const char escape = short_escape(byte); escape != '\0') {
      out.push_back('\\');
      out.push_back(escape);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
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
