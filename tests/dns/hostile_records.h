#pragma once
// Wire pieces of hostile DNS replies, hex-encoded for the scriptable loopback
// responder's "answer_hex", "authority_hex" and "additional_hex" fields
// (tests/tools/dns_responder.py): records a forger or a broken server sends.

#include <string>
#include <string_view>

#include "dns/wire.h"

namespace tessvane::hostile {

inline constexpr unsigned kTypeA = 1;
inline constexpr unsigned kTypeCname = 5;
inline constexpr unsigned kTypeTxt = 16;

inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

inline std::string address_192_0_2_1() {
  return std::string("\xc0\x00\x02\x01", 4);
}

// A TXT record of one character-string owned by owner.
inline std::string txt_record(std::string_view owner, std::string_view text) {
  return wire::record(wire::name(owner), kTypeTxt, 300, wire::character_string(text));
}

// A length byte of 0x40 (no label type a reply may use) opening the owner.
inline std::string record_with_reserved_label_owner() {
  return wire::record(wire::u8(0x40) + std::string(64, 'x') + wire::u8(0), kTypeA, 300,
                      address_192_0_2_1());
}

// Four 63-byte labels: 255 bytes of dotted text, past the 253 a name may have.
inline std::string record_with_overlong_owner() {
  const std::string label(63, 'o');
  return wire::record(wire::name(label + "." + label + "." + label + "." + label), kTypeA, 300,
                      address_192_0_2_1());
}

// A CNAME of owner whose target opens with a 0x40 length byte.
inline std::string cname_with_reserved_label_target(std::string_view owner) {
  return wire::record(wire::name(owner), kTypeCname, 300,
                      wire::u8(0x40) + std::string(64, 't') + wire::u8(0));
}

// Responder shaping fields for a reply that holds nothing but a TXT record
// "v=spf1 +all" owned by owner: what a forger needs to make a sender pass.
inline std::string forged_pass(std::string_view owner) {
  return R"("zone_records": false, "answer_hex": ")" + hex(txt_record(owner, "v=spf1 +all")) +
         R"(")";
}

}  // namespace tessvane::hostile
