// Packet framing over a real socket: packets split across reads, coalesced
// in one read, and lengths outside 1..1048576.

#include <gtest/gtest.h>

#include <string>

#include "milter_peer.h"

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

}  // namespace
}  // namespace tessvane
