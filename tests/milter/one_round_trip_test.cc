// The one-round-trip conversation over a real socket: what is negotiated of
// an offer, which steps are answered, and that the message policy sees, logs
// and answers exactly what it does in the specified conversation.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
using testing::u32_text;
using namespace std::string_literals;

constexpr std::uint32_t kEveryAction = 0x1FF;
constexpr std::uint32_t kEveryProtocolFlag = 0x1FFFFF;

std::string optneg(std::uint32_t protocol) {
  return milter_packet('O', u32_text(6) + u32_text(kEveryAction) + u32_text(protocol));
}

std::string header(std::string_view name, std::string_view value) {
  return milter_packet('L', nul(name) + nul(value));
}

std::string connect_packet() {
  return milter_packet('C', nul("client.example") + "4" + std::string("\0\x19", 2) +
                                nul("192.0.2.25"));
}

// What an MTA sends for one message when the filter skips nothing: the
// recipient and DATA included, so that a filter that negotiated them away
// still copes with an MTA that sends them.
std::string whole_message(int headers) {
  std::string packets = milter_packet('D', "Ci\0Q1\0"s) + connect_packet() +
                        milter_packet('H', nul("mail.example.com")) +
                        milter_packet('M', nul("<user@example.com>")) +
                        milter_packet('R', nul("<rcpt@example.net>")) + milter_packet('T');
  for (int i = 0; i < headers; ++i) packets += header(cat("X-Header-", i), cat("value ", i));
  return packets + milter_packet('N') + milter_packet('E');
}

// An eom handler that queues one header insert and records what it saw, as
// the message policy does.
struct Policy {
  explicit Policy(MilterPeer& peer) {
    peer.table.eom = testing::immediate_eom([this](MilterConnection& connection) {
      ++calls;
      seen = cat(connection.connect_address, "|", connection.helo, "|", connection.sender, "|",
                 connection.macro(MacroSlot::QueueId), "|", connection.headers.size());
      const std::string body = "i" + u32_text(0) + nul("Authentication-Results") + nul("spf=pass");
      EXPECT_TRUE(queue_reply(connection, as_bytes(std::string_view(body))));
      return MilterResponse::Accept;
    });
  }
  int calls = 0;
  std::string seen;
};

TEST(MilterOneRoundTrip, NegotiatesOfTheOfferOnlyWhatTheMtaOffers) {
  struct Case {
    std::uint32_t offered;
    std::uint32_t want;
  };
  const Case cases[] = {
      {kEveryProtocolFlag, kOneRoundTripProtocol},
      // An MTA of an older protocol: the steps it can skip, no reply flags.
      {0x7F, kSmfipNoBody | kSmfipNoRcpt},
      // Reply flags without the skip flags.
      {kSmfipNrConn | kSmfipNrHdr | kSmfipNrEoh | 0x400, kSmfipNrConn | kSmfipNrHdr | kSmfipNrEoh},
      {0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    MilterPeer peer;
    peer.masks = negotiation_masks(true);
    ASSERT_TRUE(peer.deliver(optneg(c.offered)));
    const auto replies = peer.take_replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].payload, u32_text(6) + u32_text(0x11) + u32_text(c.want));
    EXPECT_EQ(peer.conn().protocol, c.want);
  }
  EXPECT_EQ(negotiation_masks(false).protocol, kSmfipNoBody) << "off keeps the usual masks";
}

// The same message in both conversations: the policy sees the same data and
// gives the same answer; only the answers to the steps before end of message
// differ.
TEST(MilterOneRoundTrip, OnlyEndOfMessageIsAnsweredAndThePolicySeesTheSame) {
  struct Case {
    bool one_round_trip;
    std::uint32_t offered;
    std::string_view step_answers;
  };
  const Case cases[] = {
      {false, kEveryProtocolFlag, "cccccccc"},  // connect, HELO, MAIL, RCPT, DATA, 2 headers, EOH
      {true, kEveryProtocolFlag, ""},
      // Only headers and end of headers go unanswered.
      {true, kSmfipNrHdr | kSmfipNrEoh, "ccccc"},
  };
  std::vector<std::string> seen;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step_answers);
    LogCapture log(Severity::Info);
    MilterPeer peer;
    peer.masks = negotiation_masks(c.one_round_trip);
    Policy policy(peer);
    ASSERT_TRUE(peer.deliver(optneg(c.offered)));
    ASSERT_EQ(peer.take_replies().size(), 1u);
    for (int message = 0; message < 2; ++message) {
      ASSERT_TRUE(peer.deliver(whole_message(2) + milter_packet('K')));
      std::vector<Reply> want = codes(c.step_answers);
      want.push_back(
          {'i', u32_text(0) + nul("Authentication-Results") + nul("spf=pass")});
      want.push_back({'a', ""});
      EXPECT_EQ(peer.take_replies(), want);
    }
    EXPECT_EQ(policy.calls, 2);
    EXPECT_TRUE(log.take_texts().empty());
    seen.push_back(policy.seen);
  }
  EXPECT_EQ(seen[0], "192.0.2.25|mail.example.com|<user@example.com>|Q1|2");
  EXPECT_EQ(seen[1], seen[0]);
  EXPECT_EQ(seen[2], seen[0]);
}

// Without answers to the headers the limit cannot be answered where it is
// reached: it is remembered and end of message is answered tempfail, with the
// same two lines as in the specified conversation.
TEST(MilterOneRoundTrip, HeaderLimitStillTempfailsAtEndOfMessage) {
  std::vector<std::vector<std::string>> lines;
  for (const bool one_round_trip : {false, true}) {
    SCOPED_TRACE(one_round_trip);
    LogCapture log(Severity::Info);
    MilterPeer peer(HeaderLimits{2, 0});
    peer.masks = negotiation_masks(one_round_trip);
    Policy policy(peer);
    ASSERT_TRUE(peer.deliver(optneg(kEveryProtocolFlag)));
    ASSERT_EQ(peer.take_replies().size(), 1u);
    ASSERT_TRUE(peer.deliver(whole_message(3)));
    std::vector<Reply> want = codes(one_round_trip ? "t" : "ccccccccct");
    EXPECT_EQ(peer.take_replies(), want);
    EXPECT_EQ(policy.calls, 0);
    lines.push_back(log.take_texts());
    // The next message on the connection is evaluated again.
    ASSERT_TRUE(peer.deliver(whole_message(2)));
    EXPECT_EQ(peer.take_replies().back(), (Reply{'a', ""}));
    EXPECT_EQ(policy.calls, 1);
  }
  ASSERT_EQ(lines[0].size(), 2u);
  EXPECT_EQ(lines[0][0],
            "header limit reached (2 headers, 34 bytes) from unknown[local]: message will not be "
            "authenticated");
  EXPECT_EQ(lines[1], lines[0]);
}

// Malformed steps and commands that are only ignored are not answered either
// when their answer was negotiated away; commands no flag covers still are.
TEST(MilterOneRoundTrip, MalformedAndIgnoredStepsFollowTheirFlag) {
  MilterPeer peer;
  peer.masks = negotiation_masks(true);
  ASSERT_TRUE(peer.deliver(optneg(kEveryProtocolFlag)));
  ASSERT_EQ(peer.take_replies().size(), 1u);
  ASSERT_TRUE(peer.deliver(milter_packet('C', "no-nul") + milter_packet('L', "no-nul") +
                           milter_packet('T') + milter_packet('U', nul("NOOP")) +
                           milter_packet('B', "body") + milter_packet('Z')));
  EXPECT_EQ(peer.take_replies(), codes("cc")) << "the body and the unassigned command";
}

}  // namespace
}  // namespace tessvane
