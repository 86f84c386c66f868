#pragma once
// The conversation of one message as an MTA holds it with a filter, cut into
// round trips by the protocol flags the filter negotiated: commands the filter
// skipped are left out, commands it does not answer travel with the next one
// that it does, and end of message always closes the last round.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessvane::bench {

struct MessageShape {
  std::string zone = "bench.test";  // sender domains are made under it
  std::uint32_t domains = 100;      // distinct sender domains; 0: a new one per message
  std::string cold_tag;             // makes cold-cache names unique to this run
  bool typical_record = false;      // sender domains with the typical record
  std::size_t body_bytes = 512;     // sent only if the filter wants the body
};

struct MessageScript {
  std::string bytes;                   // every packet of the message, in order
  std::vector<std::size_t> round_end;  // end offset of each round; the last is end of message
};

// sequence numbers the message (it picks sender domain, client address and
// queue id); protocol is the negotiated protocol flags.
MessageScript build_message(const MessageShape& shape, std::uint64_t sequence,
                            std::uint32_t protocol);

// The OPTNEG packet an MTA offering everything sends.
std::string negotiation_packet(std::uint32_t actions, std::uint32_t protocol);

}  // namespace tessvane::bench
