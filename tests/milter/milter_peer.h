#pragma once
// Test harness for the codec and the output queue: a MilterConnection on the
// daemon end of a real AF_UNIX socketpair (non-blocking, as the worker keeps
// it), a test end that plays the MTA with real framed packets, and a host
// that records close_connection and queue_change calls. close_connection
// destroys the connection, as the worker does, so that a use after close is
// caught by AddressSanitizer.

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "milter/codec.h"
#include "milter/host.h"

namespace tessvane::testing {

// 4-byte big-endian length (command byte included) and the command.
std::string milter_packet(char command, std::string_view payload = {});
// A length prefix and whatever follows, for malformed lengths.
std::string raw_length(std::uint32_t length);
std::string u32_text(std::uint32_t value);
// The text followed by the NUL that ends a milter string argument.
std::string nul(std::string_view text);

struct Reply {
  char code = 0;
  std::string payload;
  bool operator==(const Reply&) const = default;
};
// Replies without payload, one per code in the sequence.
std::vector<Reply> codes(std::string_view sequence);
void PrintTo(const Reply& reply, std::ostream* out);

class MilterPeer final : public MilterHost {
 public:
  // socket_type SOCK_SEQPACKET keeps each write of the daemon end apart
  // (take_writes); the MTA end must then send at most 8192 bytes at a time.
  explicit MilterPeer(HeaderLimits limits = {}, int socket_type = SOCK_STREAM);

  void close_connection(int descriptor) override;
  void queue_change(int descriptor, InterestChange change) override;
  const MilterHandlers& handlers() const noexcept override { return table; }
  NegotiationMasks negotiation() const noexcept override { return masks; }

  bool open() const noexcept { return connection != nullptr; }
  MilterConnection& conn() { return *connection; }

  // Writes bytes from the MTA end and lets the daemon end read and dispatch
  // them as the worker does, interleaved so that any amount fits. Returns
  // whether the connection is still open.
  bool deliver(std::string_view bytes);
  // The worker's read step: read until the socket would block, append, and
  // dispatch every complete packet.
  bool pump();
  // Everything the daemon end has written so far, without waiting.
  std::string take_output();
  // On a SOCK_SEQPACKET pair: what each write of the daemon end sent, in order.
  std::vector<std::string> take_writes();
  // take_output cut into replies; a trailing partial packet fails the test.
  std::vector<Reply> take_replies();
  // Makes the daemon end's kernel send buffer small, so that a peer that
  // does not read blocks the writes early.
  void shrink_send_buffer();
  // Closes the MTA end.
  void hang_up() { mta.reset(); }

  MilterHandlers table;
  NegotiationMasks masks;
  std::unique_ptr<MilterConnection> connection;
  int descriptor = -1;
  UniqueFd mta;
  std::size_t bytes_read = 0;
  std::vector<int> closed;
  std::vector<std::pair<int, InterestChange>> changes;
};

}  // namespace tessvane::testing
