// Headers, their limits and the end of message: what is stored, what is
// logged, when the policy is called and what is answered.

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
using testing::nul;
using testing::Reply;

std::string header(std::string_view name, std::string_view value) {
  return milter_packet('L', nul(name) + nul(value));
}

// A peer whose eom handler counts its calls and records the headers it saw.
struct Policy {
  explicit Policy(MilterPeer& peer) {
    peer.table.eom = testing::immediate_eom([this](MilterConnection& connection) {
      ++calls;
      seen.clear();
      for (const HeaderField& field : connection.headers) {
        seen.push_back(field.name + ": " + field.value);
        EXPECT_TRUE(field.leading_space);
      }
      return MilterResponse::Accept;
    });
  }
  int calls = 0;
  std::vector<std::string> seen;
};

TEST(MilterHeaders, HeadersAreStoredInArrivalOrder) {
  MilterPeer peer;
  Policy policy(peer);
  ASSERT_TRUE(peer.deliver(header("From", "a@example.org") + header("Subject", "") +
                           milter_packet('L', nul("X-No-Value-Nul") + "tail") + milter_packet('N') +
                           milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("cccca"));
  EXPECT_EQ(policy.calls, 1);
  EXPECT_EQ(policy.seen,
            (std::vector<std::string>{"From: a@example.org", "Subject: ", "X-No-Value-Nul: tail"}));
  EXPECT_TRUE(peer.conn().headers.empty()) << "the message is reset after its answer";
}

TEST(MilterHeaders, HeaderWithoutNulIsAnsweredButNotStoredOrCounted) {
  MilterPeer peer;
  int header_calls = 0;
  peer.table.header = [&](MilterConnection&, std::string_view, std::string_view) {
    ++header_calls;
    return MilterResponse::Continue;
  };
  ASSERT_TRUE(peer.deliver(milter_packet('L', "Subject-without-nul")));
  EXPECT_EQ(peer.take_replies(), codes("c"));
  EXPECT_TRUE(peer.conn().headers.empty());
  EXPECT_EQ(peer.conn().header_bytes, 0u);
  EXPECT_EQ(header_calls, 0);
}

TEST(MilterHeaders, MaxHeadersStopsAccumulationAndTempfailsTheMessage) {
  LogCapture capture;
  MilterPeer peer(HeaderLimits{2, 0});
  Policy policy(peer);
  ASSERT_TRUE(peer.deliver(milter_packet('D', "C" + nul("{daemon_name}") + nul("mx one") +
                                                  nul("{client_addr}") + nul("192.0.2.1")) +
                           milter_packet('D', "M" + nul("i") + nul("Q1")) +
                           milter_packet('M', nul("<s@example.org>")) + header("A", "1") +
                           header("B", "22") + header("C", "333") + header("D", "4444")));
  EXPECT_EQ(peer.take_replies(), codes("ccccc"));
  EXPECT_EQ(peer.conn().headers.size(), 2u);
  EXPECT_EQ(peer.conn().header_bytes, 5u);
  EXPECT_TRUE(peer.conn().header_limit_reached);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"header limit reached (2 headers, 5 bytes) from "
                                      "mx_one[local]: message will not be authenticated"}));

  ASSERT_TRUE(peer.deliver(milter_packet('N') + milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("ct"));
  EXPECT_EQ(policy.calls, 0);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"tempfail: header block from mx_one[local] exceeded "
                                      "MaxHeaders=2/MaxHeaderBytes=0 and could not be "
                                      "inspected in full"}));
  // The tempfail ended the message: the next one starts clean.
  const MilterConnection& c = peer.conn();
  EXPECT_FALSE(c.header_limit_reached);
  EXPECT_TRUE(c.headers.empty());
  EXPECT_EQ(c.header_bytes, 0u);
  EXPECT_EQ(c.sender, "");
  EXPECT_EQ(c.macro(MacroSlot::QueueId), "");
  EXPECT_EQ(c.macro(MacroSlot::ClientAddr), "192.0.2.1");

  ASSERT_TRUE(peer.deliver(header("E", "5") + header("F", "6") + milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("cca"));
  EXPECT_EQ(policy.calls, 1);
  EXPECT_EQ(policy.seen, (std::vector<std::string>{"E: 5", "F: 6"}));
  EXPECT_TRUE(capture.take_texts().empty());
}

TEST(MilterHeaders, MaxHeaderBytesBoundary) {
  struct Case {
    std::string name, value;
    bool stored;
  };
  const Case cases[] = {
      {"Subject", "abc", true},    // exactly 10
      {"Subject", "abcd", false},  // 11
      {"S", "", true},
      {"", "0123456789", true},
      {"", "0123456789X", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ":" + c.value);
    LogCapture capture;
    MilterPeer peer(HeaderLimits{0, 10});
    ASSERT_TRUE(peer.deliver(header(c.name, c.value)));
    EXPECT_EQ(peer.conn().headers.size(), c.stored ? 1u : 0u);
    EXPECT_EQ(peer.conn().header_limit_reached, !c.stored);
    EXPECT_EQ(capture.take_texts().size(), c.stored ? 0u : 1u);
  }
}

TEST(MilterHeaders, ByteLimitCountsEveryStoredHeader) {
  LogCapture capture;
  MilterPeer peer(HeaderLimits{0, 10});
  ASSERT_TRUE(peer.deliver(header("Ab", "cd") + header("Ef", "gh")));
  EXPECT_EQ(peer.conn().header_bytes, 8u);
  // 8 + 3 would exceed 10; a later smaller header is not stored either.
  ASSERT_TRUE(peer.deliver(header("X", "yz") + header("Q", "")));
  EXPECT_EQ(peer.conn().headers.size(), 2u);
  EXPECT_EQ(peer.conn().header_bytes, 8u);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"header limit reached (2 headers, 8 bytes) from "
                                      "unknown[local]: message will not be authenticated"}));
  ASSERT_TRUE(peer.deliver(milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("cccct"));
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"tempfail: header block from unknown[local] exceeded "
                                      "MaxHeaders=0/MaxHeaderBytes=10 and could not be "
                                      "inspected in full"}));
}

TEST(MilterHeaders, ZeroLimitsMeanNoLimit) {
  MilterPeer peer;
  std::string wire;
  for (int i = 0; i < 500; ++i) wire += header(cat("X-H", i), std::string(100, 'v'));
  ASSERT_TRUE(peer.deliver(wire));
  EXPECT_EQ(peer.conn().headers.size(), 500u);
  EXPECT_FALSE(peer.conn().header_limit_reached);
}

TEST(MilterHeaders, PeerIdentityInLimitLinesIsSanitized) {
  LogCapture capture;
  MilterPeer peer(HeaderLimits{1, 0});
  peer.conn().set_peer_label("192.0.2.50");
  ASSERT_TRUE(peer.deliver(milter_packet('D', "C" + nul("{daemon_name}") + "tab\tname\x7F") +
                           header("A", "1") + header("B", "2")));
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"header limit reached (1 headers, 2 bytes) from "
                                      "tab_name_[192.0.2.50]: message will not be authenticated"}));
}

TEST(MilterEndOfMessage, PolicyRepliesGoOutBeforeItsAnswer) {
  MilterPeer peer;
  peer.table.eom = testing::immediate_eom([](MilterConnection& connection) {
    EXPECT_EQ(connection.sender, "<s@example.org>");
    const std::string change = "m" + testing::u32_text(1) + nul("Authentication-Results") + nul("");
    EXPECT_TRUE(queue_reply(connection, as_bytes(change)));
    const std::string insert =
        "i" + testing::u32_text(0) + nul("Authentication-Results") + nul("mx.example; spf=pass");
    EXPECT_TRUE(queue_reply(connection, as_bytes(insert)));
    return MilterResponse::Accept;
  });
  ASSERT_TRUE(peer.deliver(milter_packet('M', nul("<s@example.org>")) + milter_packet('E')));
  const auto replies = peer.take_replies();
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0], (Reply{'c', ""}));
  EXPECT_EQ(replies[1].code, 'm');
  EXPECT_EQ(replies[1].payload.size(), 28u);
  EXPECT_EQ(replies[2].code, 'i');
  EXPECT_EQ(replies[3], (Reply{'a', ""}));
}

TEST(MilterEndOfMessage, PolicyTempfailIsSentAndTheMessageReset) {
  MilterPeer peer;
  peer.table.eom = testing::immediate_eom([](MilterConnection&) { return MilterResponse::TempFail; });
  ASSERT_TRUE(peer.deliver(milter_packet('D', "E" + nul("i") + nul("Q9")) +
                           milter_packet('R', nul("<r>")) + header("A", "b") + milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("cct"));
  EXPECT_TRUE(peer.conn().recipients.empty());
  EXPECT_TRUE(peer.conn().headers.empty());
  EXPECT_EQ(peer.conn().macro(MacroSlot::QueueId), "");
}

TEST(MilterEndOfMessage, WithoutPolicyTheAnswerIsAccept) {
  MilterPeer peer;
  ASSERT_TRUE(peer.deliver(header("A", "b") + milter_packet('E')));
  EXPECT_EQ(peer.take_replies(), codes("ca"));
  EXPECT_TRUE(peer.conn().headers.empty());
}

TEST(MilterEndOfMessage, AnswerThatCannotBeSentClosesTheConnection) {
  LogCapture capture;
  MilterPeer peer;
  peer.table.eom = testing::immediate_eom([](MilterConnection& connection) {
    // Fill the queue so that the answer itself no longer fits.
    const std::string big(kOutputQueueBound - kPacketLengthSize - 4, 'i');
    EXPECT_TRUE(queue_reply(connection, as_bytes(big)));
    return MilterResponse::Accept;
  });
  EXPECT_FALSE(peer.deliver(milter_packet('E')));
  EXPECT_FALSE(peer.open());
  EXPECT_EQ(peer.closed.size(), 1u);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"dropping connection from unknown[local]: 262140 bytes of "
                                      "replies unread, output queue full"}));
}

}  // namespace
}  // namespace tessvane
