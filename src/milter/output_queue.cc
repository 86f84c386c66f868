// The output queue of a connection: replies are framed, appended and written
// at once as far as the socket takes them; the rest waits for one-shot write
// interest. A peer that stops reading is dropped once the queue bound is hit.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "base/text.h"
#include "log/logger.h"
#include "milter/connection.h"
#include "milter/host.h"

namespace tessvane {

namespace {

// One send of all the bytes, repeated if interrupted. MSG_NOSIGNAL keeps a
// vanished peer an error value even where SIGPIPE was not neutralised.
Result<std::size_t> write_some(int descriptor, Bytes bytes) noexcept {
  for (;;) {
    const ssize_t n = ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) return fail(ErrorCode::BrokenPipe);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(ErrorCode::WouldBlock);
    return fail(error_from_errno(errno));
  }
}

// Grows geometrically so that many small replies cost amortised constant
// time, and before anything is appended so that a failure appends nothing.
Status reserve_for(std::vector<std::byte>& buffer, std::size_t extra) noexcept {
  const std::size_t needed = buffer.size() + extra;
  if (needed <= buffer.capacity()) return {};
  try {
    buffer.reserve(std::max(needed, 2 * buffer.capacity()));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return {};
}

void hold_replies(MilterHost& host, MilterConnection& connection) {
  if (connection.write_interest_armed) return;
  connection.write_interest_armed = true;
  host.queue_change(connection.descriptor(), InterestChange::WriteOnce);
  if (log_enabled(Severity::Info)) {
    const PeerIdentity peer = peer_identity(connection);
    log_message(Severity::Info,
                cat("holding ", connection.output.unsent(), " bytes of replies for ", peer.name,
                    '[', peer.address, "]: peer is not reading, will resume when it does"));
  }
}

bool drop_connection(MilterHost& host, MilterConnection& connection, ErrorCode error) {
  const int descriptor = connection.descriptor();
  report_output_failure(connection, error);
  host.close_connection(descriptor);
  return false;
}

}  // namespace

Status queue_reply(MilterConnection& connection, std::span<const std::byte> body) {
  if (body.size() > kMaxReplyBody) return fail(ErrorCode::PacketTooLarge);
  OutputQueue& queue = connection.output;
  if (queue.unsent() + body.size() + kPacketLengthSize > kOutputQueueBound) {
    return fail(ErrorCode::OutputQueueFull);
  }
  if (queue.sent > 0) {
    const auto sent = static_cast<std::ptrdiff_t>(queue.sent);
    queue.buffer.erase(queue.buffer.begin(), queue.buffer.begin() + sent);
    queue.sent = 0;
  }
  if (Status room = reserve_for(queue.buffer, kPacketLengthSize + body.size()); !room) {
    return room;
  }
  const auto prefix = u32_be(static_cast<std::uint32_t>(body.size()));
  queue.buffer.insert(queue.buffer.end(), prefix.begin(), prefix.end());
  queue.buffer.insert(queue.buffer.end(), body.begin(), body.end());
  return {};
}

bool send_reply(MilterHost& host, MilterConnection& connection, std::span<const std::byte> body) {
  if (Status queued = queue_reply(connection, body); !queued) {
    return drop_connection(host, connection, queued.error());
  }
  return flush_replies(host, connection);
}

bool send_reply_code(MilterHost& host, MilterConnection& connection, MilterResponse code) {
  const std::byte body[] = {static_cast<std::byte>(code)};
  return send_reply(host, connection, body);
}

bool flush_replies(MilterHost& host, MilterConnection& connection) {
  OutputQueue& queue = connection.output;
  while (queue.sent < queue.buffer.size()) {
    const Bytes unsent = std::span<const std::byte>(queue.buffer).subspan(queue.sent);
    const Result<std::size_t> written = write_some(connection.descriptor(), unsent);
    if (!written) {
      if (written.error() != ErrorCode::WouldBlock) {
        return drop_connection(host, connection, written.error());
      }
      hold_replies(host, connection);
      return true;
    }
    queue.sent += *written;
  }
  queue.buffer.clear();
  queue.sent = 0;
  if (queue.buffer.capacity() > kOutputKeepSize) std::vector<std::byte>().swap(queue.buffer);
  return true;
}

void report_output_failure(const MilterConnection& connection, ErrorCode error) {
  const PeerIdentity peer = peer_identity(connection);
  if (error == ErrorCode::OutputQueueFull) {
    if (!log_enabled(Severity::Warning)) return;
    log_message(Severity::Warning, cat("dropping connection from ", peer.name, '[', peer.address,
                                       "]: ", connection.output.unsent(),
                                       " bytes of replies unread, output queue full"));
    return;
  }
  if (!log_enabled(Severity::Debug)) return;
  log_message(Severity::Debug, cat("dropping connection from ", peer.name, '[', peer.address,
                                   "]: reply write failed: ", error_name(error)));
}

}  // namespace tessvane
