#pragma once
// One accepted milter connection and its output queue.
//
// A MilterConnection belongs to the worker thread that accepted it; it owns
// its socket and every string, sequence and buffer in it, and releases them
// when they are replaced, by reset_message (codec.h), or when it is destroyed.
// Nothing in it is shared between threads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error_code.h"
#include "base/task.h"
#include "base/unique_fd.h"
#include "milter/protocol.h"

namespace tessvane {

class MilterHost;

// Output queue bounds: unsent bytes + body + 4 may not exceed the queue bound;
// an emptied buffer whose capacity is above the keep size is released.
inline constexpr std::size_t kMaxReplyBody = kMaxPacketLength;
inline constexpr std::size_t kOutputQueueBound = 0x40000;
inline constexpr std::size_t kOutputKeepSize = 8192;
inline constexpr std::size_t kPeerLabelMax = 64;

// The slots of the recognised macros (codec.h lists the names accepted).
enum class MacroSlot : std::uint8_t {
  ClientAddr,
  ClientName,
  MailAddr,
  RcptAddr,
  QueueId,
  DaemonName,
  AuthType,
};
inline constexpr std::size_t kMacroSlotCount = 7;

struct HeaderField {
  std::string name;
  std::string value;
  // A space followed the colon as received. With the flags this system
  // negotiates the MTA strips it, so every stored header has it set.
  bool leading_space = true;
};

// MaxHeaders and MaxHeaderBytes; 0 means no limit.
struct HeaderLimits {
  std::uint64_t max_headers = 0;
  std::uint64_t max_header_bytes = 0;
};

// Bytes read but not yet consumed, and the framer's memory of the length at
// their head, so that a length that arrived before its body is read once.
struct InputBuffer {
  std::vector<std::byte> bytes;
  std::uint32_t pending_length = 0;
  bool length_known = false;
};

// The answer of the current message while its eom task runs. The task may
// wait (DNS); meanwhile the connection dispatches only SMFIC_ABORT,
// SMFIC_QUIT_NC and SMFIC_QUIT (each cancels it) and holds every other
// packet, and its replies are not written, so that whatever the task queued
// can be taken back on cancellation and the rest leaves in one write.
struct PendingVerdict final : TaskObserver {
  Task<MilterResponse> task;
  // The unsent bytes of the output queue when the task started.
  std::size_t output_mark = 0;
  // Who to tell when the task ends after it had to wait.
  MilterHost* host = nullptr;
  int descriptor = -1;
  std::uint64_t serial = 0;
  bool waiting = false;
  // A packet is held in the input buffer until the answer is sent.
  bool input_held = false;

  bool pending() const noexcept { return task.valid(); }
  void task_finished() noexcept override;
};

// Framed replies not yet written: bytes [sent, buffer.size()) are unsent.
struct OutputQueue {
  std::vector<std::byte> buffer;
  std::size_t sent = 0;

  std::size_t unsent() const noexcept { return buffer.size() - sent; }
};

struct MilterConnection {
  MilterConnection(UniqueFd socket_fd, HeaderLimits header_limits) noexcept
      : limits(header_limits), socket(std::move(socket_fd)) {}

  InputBuffer input;
  // Indexed by MacroSlot; an empty slot means the macro is absent.
  std::array<std::string, kMacroSlotCount> macros;
  std::vector<HeaderField> headers;
  std::string helo;
  // An SMFIC_HELO was stored: an empty helo is then a name sent empty, not
  // a HELO never seen.
  bool helo_received = false;
  std::string sender;
  std::vector<std::string> recipients;
  HeaderLimits limits;
  // Sum of the name and value lengths of the stored headers.
  std::uint64_t header_bytes = 0;
  std::string connect_address;
  OutputQueue output;
  // The connection's socket, also its key in the worker's table.
  UniqueFd socket;
  std::uint32_t actions = 0;
  std::uint32_t protocol = 0;
  bool header_limit_reached = false;
  std::array<char, kPeerLabelMax> peer_label{};
  std::uint8_t peer_label_length = 0;
  // '4', '6', 'L', or 'U' (also before the first SMFIC_CONNECT).
  char connect_family = 'U';
  bool write_interest_armed = false;
  // Its turn of reading ended with bytes left: the worker reads on in its
  // next pass, and not before, whatever events come meanwhile.
  bool read_deferred = false;
  // The worker's number for this connection (1 for the first it accepts),
  // the tag of its event registrations: an event with another tag is one of
  // an earlier connection that had the same descriptor.
  std::uint64_t serial = 0;
  // Last, so that a task still waiting is destroyed (cancelled) before the
  // data it borrows.
  PendingVerdict verdict;

  int descriptor() const noexcept { return socket.get(); }
  std::string_view macro(MacroSlot slot) const noexcept {
    return macros[static_cast<std::size_t>(slot)];
  }
  std::string_view peer_label_text() const noexcept {
    return {peer_label.data(), peer_label_length};
  }
  // Stores the text form of the peer's socket address, cut at 64 bytes.
  void set_peer_label(std::string_view label) noexcept;
};

// How log lines name the milter peer: the daemon-name macro or "unknown", and
// the peer label or "local". Views into the connection.
struct PeerIdentity {
  std::string_view name;
  std::string_view address;
};
PeerIdentity peer_identity(const MilterConnection& connection) noexcept;

// Frames body (response byte and payload) and appends it; writes nothing.
// Errors: PacketTooLarge (body over 1048576 bytes), OutputQueueFull (unsent
// bytes + body + 4 above 262144), OutOfMemory. On error nothing is queued.
Status queue_reply(MilterConnection& connection, std::span<const std::byte> body);

// Queues body and writes what the socket takes. Returns true while the
// connection is open (all written, or the rest held for a writable event);
// false when it was closed through host.close_connection, after which the
// connection must not be touched.
[[nodiscard]] bool send_reply(MilterHost& host, MilterConnection& connection,
                              std::span<const std::byte> body);
// send_reply with the one-byte body code.
[[nodiscard]] bool send_reply_code(MilterHost& host, MilterConnection& connection,
                                   MilterResponse code);
// Writes the queued replies until done or the socket would block; then arms
// one-shot write interest once per held episode. Same result as send_reply.
// The worker calls it on a writable event after clearing write_interest_armed.
[[nodiscard]] bool flush_replies(MilterHost& host, MilterConnection& connection);
// The log line for a connection dropped because of a reply failure.
void report_output_failure(const MilterConnection& connection, ErrorCode error);

}  // namespace tessvane
