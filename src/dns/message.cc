#include "dns/message.h"

#include <array>
#include <new>
#include <optional>
#include <utility>

namespace tessvane {
namespace {

constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr std::uint16_t kFlagTruncated = 0x0200;
constexpr std::size_t kQuestionFixedSize = 4;  // QTYPE, QCLASS
constexpr std::size_t kRecordFixedSize = 10;   // TYPE, CLASS, TTL, RDLENGTH
constexpr std::size_t kMxPreferenceSize = 2;
constexpr std::size_t kMinMxRdata = 3;  // preference and at least the root name

void put_u16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

// The name without one leading and one trailing dot; "" means the root.
std::string_view strip_one_dot_each_side(std::string_view name) noexcept {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

Status append_encoded_name(std::string& out, std::string_view name) {
  if (name.size() > kMaxQueryNameText) return fail(ErrorCode::NameTooLong);
  name = strip_one_dot_each_side(name);
  std::size_t labels = 0;
  while (!name.empty()) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty()) return fail(ErrorCode::EmptyLabel);
    if (label.size() > kMaxLabelLength) return fail(ErrorCode::LabelTooLong);
    if (++labels > kMaxLabels) return fail(ErrorCode::TooManyLabels);
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
    // A dot at the very end leaves an empty label behind it.
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
    if (name.empty()) return fail(ErrorCode::EmptyLabel);
  }
  out.push_back('\0');
  return {};
}

Result<std::string> read_name_unguarded(Bytes message, std::size_t offset) {
  std::string text;
  std::size_t labels = 0;
  std::size_t pointers = 0;
  for (;;) {
    ByteReader reader(message, offset);
    const auto length = reader.read_u8();
    if (!length || *length == 0) return text;
    if (*length >= kPointerMark) {
      const auto low = reader.read_u8();
      if (!low) return fail(ErrorCode::PacketTooShort);
      const std::size_t target = static_cast<std::size_t>(*length & 0x3F) << 8 | *low;
      if (target >= message.size()) return fail(ErrorCode::InvalidPointer);
      if (pointers == kMaxPointerHops) return fail(ErrorCode::TooManyPointers);
      ++pointers;
      offset = target;
      continue;
    }
    if (*length >= kReservedLabelMark) return fail(ErrorCode::LabelTooLong);
    if (++labels > kMaxLabels) return fail(ErrorCode::TooManyLabels);
    const auto label = reader.read_bytes(*length);
    if (!label) return fail(ErrorCode::PacketTooShort);
    if (!text.empty()) text.push_back('.');
    text.append(as_text(*label));
    if (text.size() > kMaxDecodedName) return fail(ErrorCode::NameTooLong);
    offset = reader.position();
  }
}

// TXT: the character-strings joined; a string claiming more than the RDATA
// holds ends the joining there.
std::string join_character_strings(Bytes rdata) {
  std::string joined;
  ByteReader reader(rdata);
  while (!reader.at_end()) {
    const std::uint8_t length = *reader.read_u8();
    const auto piece = reader.read_bytes(length);
    if (!piece) break;
    joined.append(as_text(*piece));
  }
  return joined;
}

Result<std::string> record_data(Bytes message, std::uint16_t type, std::size_t rdata_offset,
                                Bytes rdata) {
  switch (type) {
    case kTypeCname:
    case kTypePtr: return read_name_unguarded(message, rdata_offset);
    case kTypeMx:
      if (rdata.size() < kMinMxRdata) return fail(ErrorCode::PacketTooShort);
      return read_name_unguarded(message, rdata_offset + kMxPreferenceSize);
    case kTypeTxt: return join_character_strings(rdata);
    default: return std::string(as_text(rdata));
  }
}

// One answer record at position; nothing (and position unchanged) when the
// message ends inside its fixed fields or data.
Result<std::optional<ResourceRecord>> decode_record(Bytes message, std::size_t& position) {
  auto name = read_name_unguarded(message, position);
  if (!name) return fail(name.error());
  const auto end_of_owner = skip_name(message, position);
  if (!end_of_owner) return fail(end_of_owner.error());
  ByteReader reader(message, *end_of_owner);
  if (reader.remaining() < kRecordFixedSize) return std::nullopt;
  const std::uint16_t type = *reader.read_u16_be();
  reader.skip(2);  // CLASS
  const std::uint32_t ttl = *reader.read_u32_be();
  const std::uint16_t rdlength = *reader.read_u16_be();
  const std::size_t rdata_offset = reader.position();
  const auto rdata = reader.read_bytes(rdlength);
  if (!rdata) return std::nullopt;
  auto data = record_data(message, type, rdata_offset, *rdata);
  if (!data) return fail(data.error());
  position = reader.position();
  return ResourceRecord{std::move(*name), std::move(*data), ttl, type};
}

Result<ParsedResponse> decode_unguarded(Bytes message) {
  if (message.size() < kDnsHeaderSize) return fail(ErrorCode::PacketTooShort);
  ByteReader header(message);
  ParsedResponse response;
  response.id = *header.read_u16_be();
  const std::uint16_t flags = *header.read_u16_be();
  response.truncated = (flags & kFlagTruncated) != 0;
  response.rcode = static_cast<std::uint8_t>(flags & 0x0F);
  const std::uint16_t question_count = *header.read_u16_be();
  const std::uint16_t answer_count = *header.read_u16_be();

  std::size_t position = kDnsHeaderSize;
  for (std::uint16_t i = 0; i < question_count; ++i) {
    const auto end = skip_name(message, position);
    if (!end) return fail(end.error());
    position = *end + kQuestionFixedSize;
    if (position > message.size()) return fail(ErrorCode::PacketTooShort);
  }
  // Every record takes at least 11 bytes, so the message bounds the loop
  // whatever ANCOUNT claims.
  while (position < message.size() && response.records.size() < answer_count) {
    auto record = decode_record(message, position);
    if (!record) return fail(record.error());
    if (!*record) break;
    response.records.push_back(std::move(**record));
  }
  return response;
}

}  // namespace

Result<std::string> encode_query(std::uint16_t id, std::string_view name, std::uint8_t type) {
  try {
    std::string out;
    out.reserve(kMaxQuerySize);
    put_u16(out, id);
    put_u16(out, kFlagRecursionDesired);
    put_u16(out, 1);  // QDCOUNT
    put_u16(out, 0);  // ANCOUNT
    put_u16(out, 0);  // NSCOUNT
    put_u16(out, 1);  // ARCOUNT: the OPT record
    if (auto status = append_encoded_name(out, name); !status) return fail(status.error());
    put_u16(out, type);
    put_u16(out, kClassIn);
    out.push_back('\0');  // OPT owner: the root
    put_u16(out, kTypeOpt);
    put_u16(out, kEdnsUdpPayloadSize);
    put_u16(out, 0);  // TTL: extended RCODE 0, version 0,
    put_u16(out, 0);  // DO clear
    put_u16(out, 0);  // RDLENGTH
    return out;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

Result<ParsedResponse> decode_response(Bytes message) {
  try {
    return decode_unguarded(message);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

ErrorCode reply_decode_failure(ErrorCode decoder_error) noexcept {
  return decoder_error == ErrorCode::OutOfMemory ? decoder_error : ErrorCode::DnsTransient;
}

Result<std::string> read_name(Bytes message, std::size_t offset) {
  try {
    return read_name_unguarded(message, offset);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

Result<std::size_t> skip_name(Bytes message, std::size_t offset) {
  std::size_t labels = 0;
  for (;;) {
    if (offset >= message.size()) return fail(ErrorCode::PacketTooShort);
    ByteReader reader(message, offset);
    const std::uint8_t length = *reader.read_u8();
    if (length == 0) return reader.position();
    if (length >= kPointerMark) {
      if (!reader.skip(1)) return fail(ErrorCode::PacketTooShort);
      return reader.position();
    }
    if (length >= kReservedLabelMark) return fail(ErrorCode::LabelTooLong);
    if (++labels > kMaxLabels) return fail(ErrorCode::TooManyLabels);
    if (!reader.skip(length)) return fail(ErrorCode::PacketTooShort);
    offset = reader.position();
  }
}

std::string_view rcode_name(std::uint8_t rcode) noexcept {
  static constexpr std::array<std::string_view, 16> kNames = {
      "no_error", "format_error", "server_failure", "name_error", "not_implemented", "refused",
      "rcode6",   "rcode7",       "rcode8",         "rcode9",     "rcode10",         "rcode11",
      "rcode12",  "rcode13",      "rcode14",        "rcode15"};
  return kNames[rcode & 0x0F];
}

}  // namespace tessvane
