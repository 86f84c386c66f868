// Packet framing over a real socket: packets split across reads, coalesced
// in one read, and lengths outside 1..1048576.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "milter/codec.h"
#include "milter/framer.h"
#include "milter_peer.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::codes;
using testing::milter_packet;
using testing::MilterPeer;
using testing::raw_length;

TEST(MilterFramer, PacketSplitAcrossReadsIsDispatchedOnceWhenComplete) {
  MilterPeer peer;
  int calls = 0;
  peer.table.helo = [&](MilterConnection&, std::string_view helo) {
    ++calls;
    EXPECT_EQ(helo, "mx.example.org");
    return MilterResponse::Continue;
  };
  const std::string wire = milter_packet('H', std::string("mx.example.org\0", 15));
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    ASSERT_TRUE(peer.deliver(wire.substr(i, 1)));
    EXPECT_EQ(calls, 0) << "after byte " << i;
    EXPECT_TRUE(peer.take_output().empty());
  }
  ASSERT_TRUE(peer.deliver(wire.substr(wire.size() - 1)));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(peer.take_replies(), codes("c"));
  EXPECT_EQ(peer.conn().helo, "mx.example.org");
  EXPECT_TRUE(peer.conn().input.bytes.empty());
  EXPECT_FALSE(peer.conn().input.length_known);
}

TEST(MilterFramer, CoalescedPacketsAreDispatchedInOrder) {
  MilterPeer peer;
  std::string wire = milter_packet('M', std::string("<a@example.org>\0SIZE=10\0", 24));
  wire += milter_packet('R', std::string("<b@example.net>\0", 16));
  wire += milter_packet('R', std::string("<c@example.com>\0", 16));
  wire += milter_packet('D', std::string("Ri\0QID1\0", 8));
  // Half of a fourth packet stays buffered for the next read.
  const std::string fourth = milter_packet('N');
  wire += fourth.substr(0, 3);
  ASSERT_TRUE(peer.deliver(wire));
  EXPECT_EQ(peer.take_replies(), codes("ccc"));
  EXPECT_EQ(peer.conn().sender, "<a@example.org>");
  EXPECT_EQ(peer.conn().recipients,
            (std::vector<std::string>{"<b@example.net>", "<c@example.com>"}));
  EXPECT_EQ(peer.conn().macro(MacroSlot::QueueId), "QID1");
  EXPECT_EQ(peer.conn().input.bytes.size(), 3u);
  ASSERT_TRUE(peer.deliver(fourth.substr(3)));
  EXPECT_EQ(peer.take_replies(), codes("c"));
}

TEST(MilterFramer, LengthOutsideTheAllowedRangeClosesWithoutReply) {
  for (const std::uint32_t length : {0u, 1048577u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    MilterPeer peer;
    const int descriptor = peer.descriptor;
    // A valid packet first, to show that the bad length ends the stream.
    EXPECT_FALSE(peer.deliver(milter_packet('N') + raw_length(length) + "Hxyz"));
    EXPECT_FALSE(peer.open());
    EXPECT_EQ(peer.closed, (std::vector<int>{descriptor}));
    EXPECT_EQ(peer.take_replies(), codes("c"));
  }
}

TEST(MilterFramer, BadLengthIsRejectedBeforeItsBodyArrives) {
  MilterPeer peer;
  EXPECT_FALSE(peer.deliver(raw_length(1048577)));
  EXPECT_FALSE(peer.open());
}

TEST(MilterFramer, LargestLengthIsAcceptedOnceComplete) {
  MilterPeer peer;
  std::size_t helo_size = 0;
  peer.table.helo = [&](MilterConnection&, std::string_view helo) {
    helo_size = helo.size();
    return MilterResponse::Continue;
  };
  const std::string wire = milter_packet('H', std::string(1048575, 'h'));
  ASSERT_EQ(wire.size(), 1048580u);
  ASSERT_TRUE(peer.deliver(std::string_view(wire).substr(0, wire.size() - 1)));
  EXPECT_EQ(helo_size, 0u);
  EXPECT_TRUE(peer.take_output().empty());
  ASSERT_TRUE(peer.deliver(std::string_view(wire).substr(wire.size() - 1)));
  EXPECT_EQ(helo_size, 1048575u);
  EXPECT_EQ(peer.take_replies(), codes("c"));
  EXPECT_EQ(peer.conn().helo.size(), 1048575u);
}

TEST(MilterFramer, TakePacketReadsTheLengthOnce) {
  InputBuffer input;
  const std::string wire = milter_packet('Z', "ab");
  ASSERT_TRUE(append_input(input, as_bytes(std::string_view(wire).substr(0, 5))));
  const auto pending = take_packet(input);
  ASSERT_TRUE(pending);
  EXPECT_FALSE(*pending);
  EXPECT_TRUE(input.length_known);
  EXPECT_EQ(input.pending_length, 3u);
  ASSERT_TRUE(append_input(input, as_bytes(std::string_view(wire).substr(5))));
  const auto packet = take_packet(input);
  ASSERT_TRUE(packet);
  ASSERT_TRUE(*packet);
  EXPECT_EQ((*packet)->command, 'Z');
  EXPECT_EQ(as_text((*packet)->payload), "ab");
  consume_packet(input);
  EXPECT_TRUE(input.bytes.empty());
  EXPECT_FALSE(input.length_known);
  const auto empty = take_packet(input);
  ASSERT_TRUE(empty);
  EXPECT_FALSE(*empty);
}

TEST(MilterFramer, TakePacketReportsPacketTooLarge) {
  InputBuffer input;
  ASSERT_TRUE(append_input(input, as_bytes(raw_length(0))));
  const auto packet = take_packet(input);
  ASSERT_FALSE(packet);
  EXPECT_EQ(packet.error(), ErrorCode::PacketTooLarge);
}


// What a hostile MTA can make one connection hold: recipients are kept only
// up to their count and byte budget, headers stop at the built-in ceiling
// even without configured limits, and the input buffer neither doubles past
// one packet nor keeps a large packet's room once it is consumed.
class ConnectionBound : public ::testing::Test {
 protected:
  // Sends count copies of the packet in batches whose one-packet replies
  // cannot fill the socket, reading them after each batch; returns how many
  // replies arrived.
  static std::size_t exchange(MilterPeer& to, const std::string& packet, std::size_t count) {
    constexpr std::size_t kBatch = 100;
    std::size_t replies = 0;
    for (std::size_t sent = 0; sent < count; sent += kBatch) {
      std::string batch;
      for (std::size_t i = sent; i < std::min(count, sent + kBatch); ++i) batch += packet;
      EXPECT_TRUE(to.deliver(batch));
      replies += to.take_replies().size();
    }
    return replies;
  }
  std::size_t recipient_bytes() const {
    std::size_t bytes = 0;
    for (const std::string& r : peer.connection->recipients) bytes += r.size();
    return bytes;
  }
  MilterPeer peer{HeaderLimits{0, 0}};
  testing::LogCapture log;
};

TEST_F(ConnectionBound, RecipientFloodKeepsOnlyTheBudget) {
  EXPECT_EQ(exchange(peer, milter_packet('R', std::string(kMaxPacketLength - 1, 'r')), 8), 8u);
  EXPECT_EQ(exchange(peer, milter_packet('R', testing::nul("<rcpt@example.net>")), 300), 300u);
  EXPECT_EQ(peer.conn().recipients.size(), kMaxKeptRecipients);
  EXPECT_LE(recipient_bytes(), kMaxKeptRecipientBytes);
  EXPECT_EQ(peer.conn().recipients.front(), "<rcpt@example.net>");
  EXPECT_LE(peer.conn().input.bytes.capacity(), kInputKeepCapacity);

  // Longer recipients stop at the byte budget before the count.
  MilterPeer other;
  const std::string medium(1000, 'm');
  EXPECT_EQ(exchange(other, milter_packet('R', medium), 40), 40u);
  EXPECT_EQ(other.conn().recipients.size(), kMaxKeptRecipientBytes / medium.size());
}

TEST_F(ConnectionBound, EmptyHeadersStopAtTheCeilingWithoutMaxHeaders) {
  const std::string empty_header = milter_packet('L', testing::nul("") + testing::nul(""));
  EXPECT_EQ(exchange(peer, empty_header, kHeaderCountCeiling), kHeaderCountCeiling);
  EXPECT_EQ(peer.conn().headers.size(), kHeaderCountCeiling);
  EXPECT_FALSE(peer.conn().header_limit_reached);
  EXPECT_EQ(exchange(peer, empty_header, 50), 50u);
  EXPECT_EQ(peer.conn().headers.size(), kHeaderCountCeiling);
  EXPECT_TRUE(peer.conn().header_limit_reached);
  EXPECT_TRUE(log.contains("header limit reached (10000 headers, 0 bytes)"));
  ASSERT_TRUE(peer.deliver(milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("t"));
  EXPECT_TRUE(peer.conn().headers.empty()) << "the message is reset after its answer";
}

TEST_F(ConnectionBound, InputBufferGivesBackALargePacketsRoom) {
  std::size_t capacity_at_dispatch = 0;
  peer.table.body = [&](MilterConnection& connection, Bytes chunk) {
    EXPECT_EQ(chunk.size(), kMaxPacketLength - 1);
    capacity_at_dispatch = connection.input.bytes.capacity();
    return MilterResponse::Continue;
  };
  ASSERT_TRUE(peer.deliver(milter_packet('B', std::string(kMaxPacketLength - 1, 'b'))));
  EXPECT_EQ(peer.take_replies(), codes("c"));
  EXPECT_GE(capacity_at_dispatch, kPacketLengthSize + kMaxPacketLength);
  EXPECT_LE(capacity_at_dispatch, kPacketLengthSize + kMaxPacketLength + 8192)
      << "growth past one packet and one read";
  EXPECT_LE(peer.conn().input.bytes.capacity(), kInputKeepCapacity);
  // A packet cut by the read boundary keeps its first part after the shrink.
  const std::string next = milter_packet('H', testing::nul("mx.example.org"));
  ASSERT_TRUE(peer.deliver(milter_packet('B', std::string(kMaxPacketLength - 1, 'b')) +
                           next.substr(0, 5)));
  ASSERT_TRUE(peer.deliver(next.substr(5)));
  EXPECT_EQ(peer.conn().helo, "mx.example.org");
}

}  // namespace
}  // namespace tessvane
