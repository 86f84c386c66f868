#include "common/bench_zone.h"

#include <cstdint>

#include "base/byte_reader.h"

namespace tessvane::bench {
namespace {

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeMx = 15;
constexpr std::uint16_t kTypeTxt = 16;
constexpr std::uint32_t kTtl = 3600;
constexpr std::size_t kMaxName = 255;
constexpr std::size_t kHeaderSize = 12;

struct Question {
  std::string name;  // dotted, lower case
  std::size_t end = 0;  // offset just past QTYPE and QCLASS
  std::uint16_t type = 0;
};

std::optional<Question> read_question(ByteReader& reader) {
  Question question;
  for (;;) {
    const auto length = reader.read_u8();
    if (!length || *length > 63) return std::nullopt;  // no pointers in a query
    if (*length == 0) break;
    const auto label = reader.read_bytes(*length);
    if (!label || question.name.size() + *length + 1 > kMaxName) return std::nullopt;
    if (!question.name.empty()) question.name.push_back('.');
    for (const std::byte b : *label) {
      char c = static_cast<char>(b);
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      question.name.push_back(c);
    }
  }
  const auto type = reader.read_u16_be();
  if (!type || !reader.skip(2)) return std::nullopt;
  question.type = *type;
  question.end = reader.position();
  return question;
}

bool ends_with_label(std::string_view name, std::string_view suffix) {
  if (name == suffix) return true;
  return name.size() > suffix.size() && name.ends_with(suffix) &&
         name[name.size() - suffix.size() - 1] == '.';
}

void put_u16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value >> 8 & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

void put_u32(std::string& out, std::uint32_t value) {
  put_u16(out, value >> 16);
  put_u16(out, value & 0xFFFF);
}

void put_name(std::string& out, std::string_view name) {
  while (!name.empty()) {
    const auto dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
    name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
  }
  out.push_back('\0');
}

std::string txt_rdata(std::string_view text) {
  std::string rdata;
  while (!text.empty()) {
    const std::string_view piece = text.substr(0, 255);
    rdata.push_back(static_cast<char>(piece.size()));
    rdata.append(piece);
    text.remove_prefix(piece.size());
  }
  return rdata;
}

std::string first_label(std::string_view name) {
  return std::string(name.substr(0, name.find('.')));
}

// The RDATA of the one record at name, or nullopt when the name has none of
// that type.
std::optional<std::string> record_data(const Question& question, std::string_view zone) {
  const std::string& name = question.name;
  switch (question.type) {
    case kTypeTxt: {
      const std::string spf = "_spf." + std::string(zone);
      if (name == spf) return txt_rdata("v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 -all");
      if (first_label(name).starts_with("typ")) {
        return txt_rdata("v=spf1 a mx include:" + spf + " -all");
      }
      return txt_rdata("v=spf1 ip4:192.0.2.0/24 -all");
    }
    case kTypeA:
      return std::string{'\xC6', '\x33', '\x64', '\x01'};  // 198.51.100.1
    case kTypeMx: {
      std::string rdata;
      put_u16(rdata, 10);
      put_name(rdata, "mx." + std::string(zone));
      return rdata;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<ZoneAnswer> answer_bench_query(std::span<const std::byte> query,
                                             std::string_view zone) {
  ByteReader reader(query);
  const auto id = reader.read_u16_be();
  const auto flags = reader.read_u16_be();
  const auto question_count = reader.read_u16_be();
  if (!id || !flags || !question_count || (*flags & 0x8000) != 0 || *question_count == 0 ||
      !reader.skip(6)) {
    return std::nullopt;
  }
  const auto question = read_question(reader);
  if (!question) return std::nullopt;

  const bool in_zone = ends_with_label(question->name, zone);
  const std::optional<std::string> rdata =
      in_zone ? record_data(*question, zone) : std::nullopt;
  ZoneAnswer answer;
  answer.slow = in_zone && ends_with_label(question->name, "slow." + std::string(zone));
  std::string& out = answer.message;
  out.reserve(question->end + 16 + (rdata ? rdata->size() : 0));
  put_u16(out, *id);
  // QR, AA, the query's RD, RA, and the response code.
  put_u16(out, 0x8000u | 0x0400u | (*flags & 0x0100u) | 0x0080u | (in_zone ? 0u : 3u));
  put_u16(out, 1);
  put_u16(out, rdata ? 1 : 0);
  put_u32(out, 0);
  const auto question_bytes = query.subspan(kHeaderSize, question->end - kHeaderSize);
  out.append(as_text(question_bytes));
  if (rdata) {
    put_u16(out, 0xC00C);  // the owner is the question's name
    put_u16(out, question->type);
    put_u16(out, 1);
    put_u32(out, kTtl);
    put_u16(out, static_cast<std::uint32_t>(rdata->size()));
    out.append(*rdata);
  }
  return answer;
}

}  // namespace tessvane::bench
