#pragma once
// One decoded answer record. The record owns both byte strings.

#include <cstdint>
#include <string>

namespace tessvane {

// Record type codes the system asks for or gives a meaning to.
enum RecordType : std::uint16_t {
  kTypeA = 1,
  kTypeNs = 2,
  kTypeCname = 5,
  kTypePtr = 12,
  kTypeMx = 15,
  kTypeTxt = 16,
  kTypeAaaa = 28,
  kTypeOpt = 41,
};

struct ResourceRecord {
  std::string name;  // owner, dotted, no trailing dot; the root is ""
  // CNAME, PTR, MX: the target name, decompressed and dotted (MX without its
  // preference). TXT: all character-strings joined with nothing between them.
  // Any other type: the RDATA bytes verbatim.
  std::string data;
  std::uint32_t ttl = 0;  // seconds, as sent
  std::uint16_t rr_type = 0;

  friend bool operator==(const ResourceRecord&, const ResourceRecord&) = default;
};

}  // namespace tessvane
