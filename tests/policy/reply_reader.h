#pragma once
// Reads back the replies a handler queued on a MilterConnection: the output
// queue's unsent bytes cut into framed replies (length, code, payload).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_reader.h"
#include "milter/connection.h"

namespace tessvane::testing {

struct QueuedReply {
  char code = 0;
  std::string payload;
};

inline std::vector<QueuedReply> queued_replies(const MilterConnection& connection) {
  std::string_view bytes = as_text(std::span(connection.output.buffer));
  bytes.remove_prefix(connection.output.sent);
  std::vector<QueuedReply> out;
  while (!bytes.empty()) {
    if (bytes.size() < 5) {
      ADD_FAILURE() << "partial reply in the output queue";
      break;
    }
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(bytes[i]);
    if (length < 1 || bytes.size() - 4 < length) {
      ADD_FAILURE() << "bad reply length " << length;
      break;
    }
    out.push_back({bytes[4], std::string(bytes.substr(5, length - 1))});
    bytes.remove_prefix(4 + length);
  }
  return out;
}

// The payload of an SMFIR_CHGHEADER that deletes occurrence k of the
// Authentication-Results header.
inline std::string deletion_payload(std::uint32_t occurrence) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(char(occurrence >> shift & 0xFF));
  out += "Authentication-Results";
  out.push_back('\0');
  out.push_back('\0');
  return out;
}

}  // namespace tessvane::testing
