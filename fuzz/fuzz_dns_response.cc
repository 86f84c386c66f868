// libFuzzer target for the DNS response decoder, the name readers, reply
// matching and the answer-chain filter: no input may crash them, decoded
// names stay under 254 bytes, a successful decode returns no more, and no
// larger, records than the message can hold, a matching reply carries the
// query's ID with QR set, and the filter keeps only records it was given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dns/answer_chain.h"
#include "dns/message.h"
#include "dns/reply_match.h"

namespace {

using tessvane::Bytes;

constexpr std::size_t kMinRecordSize = 11;  // a root owner and the fixed fields

void check(bool condition) {
  if (!condition) std::abort();
}

bool holds_a_name(std::uint16_t type) {
  return type == tessvane::kTypeCname || type == tessvane::kTypePtr || type == tessvane::kTypeMx;
}

void check_decode(Bytes message) {
  const auto response = tessvane::decode_response(message);
  if (!response) return;
  check(message.size() >= tessvane::kDnsHeaderSize);
  check(response->records.size() * kMinRecordSize <= message.size() - tessvane::kDnsHeaderSize);
  check(response->rcode <= 15);
  for (const auto& record : response->records) {
    check(record.name.size() <= tessvane::kMaxDecodedName);
    if (holds_a_name(record.rr_type)) {
      check(record.data.size() <= tessvane::kMaxDecodedName);
    } else {
      check(record.data.size() <= message.size());
    }
  }
}

void check_names_at(Bytes message, std::size_t offset) {
  const auto name = tessvane::read_name(message, offset);
  if (name) check(name->size() <= tessvane::kMaxDecodedName);
  const auto end = tessvane::skip_name(message, offset);
  if (end) check(*end > offset && *end <= message.size());
}

// The input as a reply to a query for example.com TXT under the input's own
// ID, so that matching replies are within the fuzzer's reach.
void check_reply_match(Bytes message, const std::uint8_t* data) {
  const std::uint16_t id =
      message.size() >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  const auto query = tessvane::encode_query(id, "example.com", tessvane::kTypeTxt);
  check(query.has_value());
  if (tessvane::reply_matches(tessvane::as_bytes(*query), message)) {
    check(message.size() >= tessvane::kDnsHeaderSize + 17);  // header and the question
    check((data[2] & 0x80) != 0);
  }
  // Untrusted bytes in the query's place must not hurt either.
  (void)tessvane::reply_matches(message, message);
}

void check_answer_chain(Bytes message) {
  auto response = tessvane::decode_response(message);
  if (!response) return;
  const std::size_t before = response->records.size();
  tessvane::keep_answer_chain(response->records, "example.com");
  check(response->records.size() <= before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes message(reinterpret_cast<const std::byte*>(data), size);
  check_decode(message);
  check_reply_match(message, data);
  check_answer_chain(message);
  check_names_at(message, tessvane::kDnsHeaderSize);
  if (size >= 2) {
    // The first two bytes (the ID) also pick an offset, so names anywhere get read.
    const std::size_t offset = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % (size + 1);
    check_names_at(message, offset);
  }
  return 0;
}
