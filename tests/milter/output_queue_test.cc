// The output queue over a real socket: framing, the queue bound, a peer that
// stops reading, held episodes resumed by writability, write failures and
// the buffer keep size.

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "milter_peer.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::codes;
using testing::LogCapture;
using testing::milter_packet;
using testing::MilterPeer;
using testing::u32_text;

std::string body_of(std::size_t size, char code = 'i') {
  std::string body(size, 'x');
  if (size > 0) body[0] = code;
  return body;
}

std::string framed(std::string_view body) {
  return u32_text(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

void set_daemon_name(MilterPeer& peer, std::string_view name) {
  peer.conn().macros[static_cast<std::size_t>(MacroSlot::DaemonName)] = std::string(name);
}

TEST(MilterOutputQueue, ReplyIsFramedWithItsBigEndianLength) {
  MilterPeer peer;
  ASSERT_TRUE(send_reply(peer, peer.conn(), as_bytes("mxyz")));
  ASSERT_TRUE(send_reply_code(peer, peer.conn(), MilterResponse::Continue));
  EXPECT_EQ(peer.take_output(), std::string("\0\0\0\4mxyz\0\0\0\1c", 13));
  EXPECT_EQ(peer.conn().output.buffer.size(), 0u);
  EXPECT_EQ(peer.conn().output.sent, 0u);
  EXPECT_TRUE(peer.changes.empty());
}

TEST(MilterOutputQueue, QueueReplyBoundsOnAnEmptyQueue) {
  struct Case {
    std::size_t size;
    bool queued;
    ErrorCode error;
  };
  const Case cases[] = {
      {1, true, {}},
      {262140, true, {}},
      {262141, false, ErrorCode::OutputQueueFull},
      {1048576, false, ErrorCode::OutputQueueFull},
      {1048577, false, ErrorCode::PacketTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    MilterPeer peer;
    const std::string body = body_of(c.size);
    const Status status = queue_reply(peer.conn(), as_bytes(body));
    ASSERT_EQ(status.has_value(), c.queued);
    if (c.queued) {
      EXPECT_EQ(peer.conn().output.unsent(), c.size + 4);
    } else {
      EXPECT_EQ(status.error(), c.error);
      EXPECT_EQ(peer.conn().output.unsent(), 0u);
    }
    EXPECT_TRUE(peer.take_output().empty()) << "queue_reply does not write";
  }
}

TEST(MilterOutputQueue, BoundCountsUnsentBytesAndThePrefix) {
  MilterPeer peer;
  ASSERT_TRUE(queue_reply(peer.conn(), as_bytes(body_of(100000))));
  ASSERT_TRUE(queue_reply(peer.conn(), as_bytes(body_of(262144 - 100004 - 4))));
  EXPECT_EQ(peer.conn().output.unsent(), 262144u);
  const Status full = queue_reply(peer.conn(), as_bytes("c"));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error(), ErrorCode::OutputQueueFull);
  EXPECT_EQ(peer.conn().output.unsent(), 262144u);
}

TEST(MilterOutputQueue, HeldBytesAreCompactedBeforeTheNextReply) {
  MilterPeer peer;
  peer.shrink_send_buffer();
  const std::string first = body_of(60000, 'i');
  ASSERT_TRUE(send_reply(peer, peer.conn(), as_bytes(first)));
  const OutputQueue& queue = peer.conn().output;
  ASSERT_GT(queue.sent, 0u) << "the socket took part of the reply";
  const std::size_t unsent = queue.unsent();
  ASSERT_GT(unsent, 0u);
  ASSERT_TRUE(queue_reply(peer.conn(), as_bytes("c")));
  EXPECT_EQ(queue.sent, 0u);
  EXPECT_EQ(queue.buffer.size(), unsent + 5);
  // Drain in rounds as the worker would on writable events; the stream is
  // intact and in order.
  std::string received;
  for (int round = 0; round < 1000 && peer.conn().output.unsent() > 0; ++round) {
    received += peer.take_output();
    peer.conn().write_interest_armed = false;
    ASSERT_TRUE(flush_replies(peer, peer.conn()));
  }
  received += peer.take_output();
  EXPECT_EQ(received, framed(first) + framed("c"));
}

TEST(MilterOutputQueue, PeerThatNeverReadsIsDroppedWhenTheQueueIsFull) {
  LogCapture capture;
  MilterPeer peer;
  peer.shrink_send_buffer();
  const std::string helo = milter_packet('H', std::string("mx.example.org\0", 15));
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += helo;
  int batches = 0;
  while (peer.deliver(batch) && batches < 200) ++batches;
  ASSERT_FALSE(peer.open()) << "still open after " << batches << " batches";
  EXPECT_EQ(peer.closed.size(), 1u);
  ASSERT_EQ(peer.changes.size(), 1u) << "one held episode, one write interest";
  EXPECT_EQ(peer.changes[0].second, InterestChange::WriteOnce);

  const auto texts = capture.take_texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(texts[0].starts_with("holding ")) << texts[0];
  EXPECT_TRUE(texts[0].ends_with(
      " bytes of replies for unknown[local]: peer is not reading, will resume when it does"))
      << texts[0];
  // Every reply is 5 bytes: the first that would pass 262144 finds 262140.
  EXPECT_EQ(texts[1],
            "dropping connection from unknown[local]: 262140 bytes of replies unread, output "
            "queue full");
}

TEST(MilterOutputQueue, HoldingIsLoggedOncePerEpisode) {
  LogCapture capture;
  MilterPeer peer;
  set_daemon_name(peer, "mx one");
  peer.shrink_send_buffer();
  const std::string body = body_of(50000);
  ASSERT_TRUE(send_reply(peer, peer.conn(), as_bytes(body)));
  ASSERT_TRUE(peer.conn().write_interest_armed);
  const std::size_t held = peer.conn().output.unsent();
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{cat("holding ", held,
                                          " bytes of replies for mx one[local]: peer is not "
                                          "reading, will resume when it does")}));
  ASSERT_EQ(peer.changes.size(), 1u);
  EXPECT_EQ(peer.changes[0], std::make_pair(peer.descriptor, InterestChange::WriteOnce));

  // While held, more replies try a write but arm nothing new.
  ASSERT_TRUE(send_reply_code(peer, peer.conn(), MilterResponse::Continue));
  ASSERT_TRUE(flush_replies(peer, peer.conn()));
  EXPECT_EQ(peer.changes.size(), 1u);
  EXPECT_TRUE(capture.take_texts().empty());

  // Each writable event that finds the socket blocked again starts a new
  // episode: one interest and one line each.
  std::string received;
  std::size_t episodes = 1;
  std::size_t lines = 1;
  for (int round = 0; round < 1000 && peer.conn().output.unsent() > 0; ++round) {
    received += peer.take_output();
    peer.conn().write_interest_armed = false;
    ASSERT_TRUE(flush_replies(peer, peer.conn()));
    if (peer.conn().write_interest_armed) ++episodes;
    lines += capture.take_texts().size();
  }
  received += peer.take_output();
  EXPECT_GT(episodes, 1u) << "50000 bytes do not pass a 4 KiB socket buffer in one go";
  EXPECT_EQ(peer.changes.size(), episodes);
  EXPECT_EQ(lines, episodes);
  EXPECT_EQ(received, framed(body) + framed("c"));
  EXPECT_EQ(peer.conn().output.buffer.capacity(), 0u) << "a burst buffer is released";
}

TEST(MilterOutputQueue, WriteToAPeerThatHasGoneClosesTheConnection) {
  LogCapture capture;
  MilterPeer peer;
  set_daemon_name(peer, "mx one");
  peer.hang_up();
  const int descriptor = peer.descriptor;
  EXPECT_FALSE(send_reply_code(peer, peer.conn(), MilterResponse::Accept));
  EXPECT_FALSE(peer.open());
  EXPECT_EQ(peer.closed, (std::vector<int>{descriptor}));
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{
                "dropping connection from mx one[local]: reply write failed: BrokenPipe"}));
}

TEST(MilterOutputQueue, HeldRepliesToAPeerThatHasGoneCloseOnTheWritableEvent) {
  LogCapture capture;
  MilterPeer peer;
  peer.shrink_send_buffer();
  ASSERT_TRUE(send_reply(peer, peer.conn(), as_bytes(body_of(50000))));
  ASSERT_TRUE(peer.conn().write_interest_armed);
  peer.hang_up();
  peer.conn().write_interest_armed = false;
  EXPECT_FALSE(flush_replies(peer, peer.conn()));
  EXPECT_FALSE(peer.open());
  const auto texts = capture.take_texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "dropping connection from unknown[local]: reply write failed: BrokenPipe");
}

TEST(MilterOutputQueue, WriteFailureThroughTheCodecStopsDispatch) {
  LogCapture capture;
  MilterPeer peer;
  // Two packets arrive in one read; the first answer fails, so the second
  // packet must not be handled on the closed connection.
  const std::string wire = milter_packet('H', "a") + milter_packet('M', "<b>");
  ASSERT_TRUE(append_input(peer.conn().input, as_bytes(wire)));
  peer.hang_up();
  EXPECT_FALSE(dispatch_input(peer, peer.conn()));
  EXPECT_FALSE(peer.open());
  EXPECT_EQ(peer.closed.size(), 1u);
  EXPECT_TRUE(capture.contains("reply write failed: BrokenPipe"));
}

TEST(MilterOutputQueue, BufferKeepSize) {
  struct Case {
    std::size_t body;
    bool kept;
  };
  const Case cases[] = {{1, true}, {8188, true}, {8189, false}, {100000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    MilterPeer peer;
    ASSERT_TRUE(send_reply(peer, peer.conn(), as_bytes(body_of(c.body))));
    const OutputQueue& queue = peer.conn().output;
    ASSERT_EQ(queue.unsent(), 0u);
    if (c.kept) {
      EXPECT_GT(queue.buffer.capacity(), 0u);
      EXPECT_LE(queue.buffer.capacity(), kOutputKeepSize);
      // The kept buffer serves the next reply without a new allocation.
      const std::byte* before = queue.buffer.data();
      ASSERT_TRUE(send_reply_code(peer, peer.conn(), MilterResponse::Continue));
      EXPECT_EQ(queue.buffer.data(), before);
    } else {
      EXPECT_EQ(queue.buffer.capacity(), 0u);
    }
    EXPECT_EQ(peer.take_output().size(), c.body + 4 + (c.kept ? 5 : 0));
  }
}

TEST(MilterOutputQueue, FailureLinesAndTheirSeverities) {
  LogCapture capture(Severity::Debug);
  MilterPeer peer;
  set_daemon_name(peer, "mx\tone");
  peer.conn().set_peer_label("192.0.2.7");
  ASSERT_TRUE(queue_reply(peer.conn(), as_bytes(body_of(20))));
  report_output_failure(peer.conn(), ErrorCode::OutputQueueFull);
  report_output_failure(peer.conn(), ErrorCode::ConnectionResetByPeer);
  const auto lines = capture.take_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("<20>")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(
      "]: dropping connection from mx_one[192.0.2.7]: 24 bytes of replies unread, output queue "
      "full"))
      << lines[0];
  EXPECT_TRUE(lines[1].starts_with("<23>")) << lines[1];
  EXPECT_TRUE(lines[1].ends_with(
      "]: dropping connection from mx_one[192.0.2.7]: reply write failed: ConnectionResetByPeer"))
      << lines[1];
}

TEST(MilterOutputQueue, WriteFailureLineIsDebugOnly) {
  LogCapture capture(Severity::Info);
  MilterPeer peer;
  report_output_failure(peer.conn(), ErrorCode::BrokenPipe);
  report_output_failure(peer.conn(), ErrorCode::OutputQueueFull);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"dropping connection from unknown[local]: 0 bytes of "
                                      "replies unread, output queue full"}));
}

TEST(MilterPeerIdentity, NameAndAddressFallBacks) {
  MilterPeer peer;
  EXPECT_EQ(peer_identity(peer.conn()).name, "unknown");
  EXPECT_EQ(peer_identity(peer.conn()).address, "local");
  set_daemon_name(peer, "mta");
  peer.conn().set_peer_label(std::string(80, '9'));
  EXPECT_EQ(peer_identity(peer.conn()).name, "mta");
  EXPECT_EQ(peer_identity(peer.conn()).address, std::string(64, '9'));
}

}  // namespace
}  // namespace tessvane
