#include "dns/reply_match.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "dns/message.h"

namespace tessvane {
namespace {

constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::size_t kMaxWireName = 255;  // RFC 1035 3.1, length bytes included

struct Question {
  std::array<std::uint8_t, kMaxWireName> name{};  // wire form, A..Z lowered
  std::size_t name_size = 0;
  std::uint16_t type = 0;
  std::uint16_t qclass = 0;

  bool operator==(const Question& other) const noexcept {
    return type == other.type && qclass == other.qclass &&
           std::equal(name.begin(), name.begin() + name_size, other.name.begin(),
                      other.name.begin() + other.name_size);
  }
};

constexpr std::uint8_t lower(std::uint8_t b) noexcept {
  return b >= 'A' && b <= 'Z' ? static_cast<std::uint8_t>(b + ('a' - 'A')) : b;
}

// The question at offset 12: its name in canonical wire form (compression
// pointers followed, at most kMaxPointerHops), its type and class.
std::optional<Question> first_question(Bytes message) noexcept {
  Question question;
  ByteReader reader(message, kDnsHeaderSize);
  std::optional<std::size_t> end;  // just past the stored name
  for (std::size_t hops = 0;;) {
    const auto length = reader.read_u8();
    if (!length) return std::nullopt;
    if (*length >= kPointerMark) {
      const auto low = reader.read_u8();
      if (!low || hops++ == kMaxPointerHops) return std::nullopt;
      if (!end) end = reader.position();
      if (!reader.seek(static_cast<std::size_t>(*length & 0x3F) << 8 | *low)) return std::nullopt;
      continue;
    }
    if (*length >= kReservedLabelMark) return std::nullopt;
    if (question.name_size + 1 + *length > kMaxWireName) return std::nullopt;
    question.name[question.name_size++] = *length;
    if (*length == 0) break;
    const auto label = reader.read_bytes(*length);
    if (!label) return std::nullopt;
    for (const std::byte b : *label) {
      question.name[question.name_size++] = lower(std::to_integer<std::uint8_t>(b));
    }
  }
  if (end && !reader.seek(*end)) return std::nullopt;
  const auto type = reader.read_u16_be();
  const auto qclass = reader.read_u16_be();
  if (!type || !qclass) return std::nullopt;
  question.type = *type;
  question.qclass = *qclass;
  return question;
}

}  // namespace

bool reply_matches(Bytes query, Bytes reply) noexcept {
  ByteReader sent(query);
  ByteReader received(reply);
  const auto sent_id = sent.read_u16_be();
  const auto id = received.read_u16_be();
  const auto flags = received.read_u16_be();
  const auto question_count = received.read_u16_be();
  if (!sent_id || !id || !flags || !question_count) return false;
  if (*id != *sent_id || (*flags & kFlagResponse) == 0 || *question_count != 1) return false;
  const auto asked = first_question(query);
  const auto answered = first_question(reply);
  return asked && answered && answered->qclass == kClassIn && *asked == *answered;
}

}  // namespace tessvane
