// Command dispatch over a real socket: negotiation, the envelope commands,
// macros, commands that are ignored or get no answer, and the handlers.

#include "milter/codec.h"

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
using testing::u32_text;

std::string optneg(std::uint32_t version, std::uint32_t actions, std::uint32_t protocol) {
  return milter_packet('O', u32_text(version) + u32_text(actions) + u32_text(protocol));
}

TEST(MilterNegotiation, OfferIsAnsweredWithVersionSixAndMaskedFlags) {
  struct Case {
    std::uint32_t version, actions, protocol;
    std::uint32_t want_actions, want_protocol;
  };
  const Case cases[] = {
      {6, 0x1FF, 0x1FFFFF, 0x11, 0x10},
      {2, 0x1FF, 0x1FFFFF, 0x11, 0x10},
      {0xFFFFFFFF, 0x0F, 0x0F, 0x01, 0x00},
      {6, 0x10, 0x10, 0x10, 0x10},
      {6, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(cat(c.actions, "/", c.protocol));
    MilterPeer peer;
    ASSERT_TRUE(peer.deliver(optneg(c.version, c.actions, c.protocol)));
    const auto replies = peer.take_replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].code, 'O');
    EXPECT_EQ(replies[0].payload,
              u32_text(6) + u32_text(c.want_actions) + u32_text(c.want_protocol));
    EXPECT_EQ(peer.conn().actions, c.want_actions);
    EXPECT_EQ(peer.conn().protocol, c.want_protocol);
  }
}

TEST(MilterNegotiation, BytesAfterTheThreeWordsAreIgnoredAndRepeatsOverwrite) {
  MilterPeer peer;
  const std::string offer = u32_text(6) + u32_text(0x1FF) + u32_text(0x10) + "extra";
  ASSERT_TRUE(peer.deliver(milter_packet('O', offer)));
  EXPECT_EQ(peer.conn().actions, 0x11u);
  ASSERT_TRUE(peer.deliver(optneg(6, 0x01, 0)));
  EXPECT_EQ(peer.conn().actions, 0x01u);
  EXPECT_EQ(peer.conn().protocol, 0u);
  EXPECT_EQ(peer.take_replies().size(), 2u);
}

TEST(MilterNegotiation, ShortOfferClosesWithoutReplyOrLog) {
  LogCapture capture;
  MilterPeer peer;
  const std::string eleven = (u32_text(6) + u32_text(0x1FF) + u32_text(0x10)).substr(0, 11);
  EXPECT_FALSE(peer.deliver(milter_packet('O', eleven)));
  EXPECT_FALSE(peer.open());
  EXPECT_EQ(peer.closed.size(), 1u);
  EXPECT_TRUE(peer.take_output().empty());
  EXPECT_TRUE(capture.take_texts().empty());
}

TEST(MilterNegotiation, WorkerMasksAreApplied) {
  MilterPeer peer;
  peer.masks = NegotiationMasks{6, kSmfifAddHdrs, 0};
  ASSERT_TRUE(peer.deliver(optneg(6, 0x1FF, 0x1FFFFF)));
  EXPECT_EQ(peer.conn().actions, kSmfifAddHdrs);
  EXPECT_EQ(peer.conn().protocol, 0u);
}

TEST(MilterConnect, AddressAndFamilyAreStored) {
  struct Case {
    std::string payload;
    std::string address;
    char family;
  };
  const std::string port = std::string("\x00\x19", 2);
  const Case cases[] = {
      {nul("mx.example.org") + '4' + port + nul("192.0.2.1"), "192.0.2.1", '4'},
      {nul("mx6") + '6' + port + nul("2001:db8::1"), "2001:db8::1", '6'},
      {nul("localhost") + 'L' + port + "/var/run/sock", "/var/run/sock", 'L'},
      {nul("") + 'U' + port, "", 'U'},
      {nul("odd") + 'S' + port + nul("198.51.100.7"), "198.51.100.7", 'U'},
      // Sendmail's form of an IPv6 client, in any case.
      {nul("[2001:db8::25]") + '6' + port + nul("IPv6:2001:db8::25"), "2001:db8::25", '6'},
      {nul("mx6") + '6' + port + nul("ipv6:::ffff:192.0.2.1"), "::ffff:192.0.2.1", '6'},
      {nul("mx6") + '6' + port + nul("IPV6:2001:db8::1"), "2001:db8::1", '6'},
      {nul("mx6") + '6' + port + nul("IPv6"), "IPv6", '6'},  // no tag without its colon
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    MilterPeer peer;
    ASSERT_TRUE(peer.deliver(milter_packet('C', c.payload)));
    EXPECT_EQ(peer.take_replies(), codes("c"));
    EXPECT_EQ(peer.conn().connect_address, c.address);
    EXPECT_EQ(peer.conn().connect_family, c.family);
  }
}

TEST(MilterConnect, MalformedConnectChangesNothing) {
  const std::string payloads[] = {
      "no-nul-at-all",
      nul("host"),
      nul("host") + "4\x00",
  };
  for (const std::string& payload : payloads) {
    MilterPeer peer;
    int calls = 0;
    peer.table.connect = [&](MilterConnection&, const ConnectInfo&) {
      ++calls;
      return MilterResponse::Continue;
    };
    ASSERT_TRUE(peer.deliver(
        milter_packet('C', nul("a") + '4' + std::string("\0\1", 2) + nul("192.0.2.9"))));
    ASSERT_TRUE(peer.deliver(milter_packet('C', payload)));
    EXPECT_EQ(peer.take_replies(), codes("cc"));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(peer.conn().connect_address, "192.0.2.9");
    EXPECT_EQ(peer.conn().connect_family, '4');
  }
}

TEST(MilterConnect, HandlerReceivesTheParsedSlices) {
  MilterPeer peer;
  ConnectInfo seen;
  std::string host_name;
  peer.table.connect = [&](MilterConnection&, const ConnectInfo& info) {
    seen = info;
    host_name = std::string(info.host_name);
    return MilterResponse::Accept;
  };
  ASSERT_TRUE(peer.deliver(milter_packet(
      'C', nul("client.example") + '6' + std::string("\x01\xBB", 2) + nul("2001:db8::25"))));
  EXPECT_EQ(peer.take_replies(), codes("a"));
  EXPECT_EQ(host_name, "client.example");
  EXPECT_EQ(seen.port, 443);
  EXPECT_EQ(seen.family, '6');
}

TEST(MilterEnvelope, HeloMailAndRcptArguments) {
  MilterPeer peer;
  ASSERT_TRUE(peer.deliver(milter_packet('H', std::string("helo.one\0\0", 10))));
  EXPECT_EQ(peer.conn().helo, std::string("helo.one\0", 9)) << "only one NUL is removed";
  ASSERT_TRUE(peer.deliver(milter_packet('H', "helo.two")));
  EXPECT_EQ(peer.conn().helo, "helo.two");
  ASSERT_TRUE(peer.deliver(milter_packet('M', "<bare@example.org>")));
  EXPECT_EQ(peer.conn().sender, "<bare@example.org>");
  ASSERT_TRUE(
      peer.deliver(milter_packet('M', std::string("<s@example.org>\0BODY=8BITMIME\0", 30))));
  EXPECT_EQ(peer.conn().sender, "<s@example.org>");
  ASSERT_TRUE(peer.deliver(milter_packet('M')));
  EXPECT_EQ(peer.conn().sender, "");
  ASSERT_TRUE(peer.deliver(milter_packet('R')));
  ASSERT_TRUE(peer.deliver(milter_packet('R', std::string("<r@example.net>\0NOTIFY=NEVER\0", 29))));
  EXPECT_EQ(peer.conn().recipients, (std::vector<std::string>{"", "<r@example.net>"}));
  EXPECT_EQ(peer.take_replies(), codes("ccccccc"));
}

// An empty HELO name is a HELO that was sent, unlike none at all; both last
// across messages.
TEST(MilterEnvelope, EmptyHeloIsKeptApartFromNoHelo) {
  MilterPeer peer;
  EXPECT_FALSE(peer.conn().helo_received);
  ASSERT_TRUE(peer.deliver(milter_packet('M', nul("<a@example.org>")) + milter_packet('K')));
  EXPECT_FALSE(peer.conn().helo_received);
  ASSERT_TRUE(peer.deliver(milter_packet('H', nul(""))));
  EXPECT_TRUE(peer.conn().helo_received);
  EXPECT_EQ(peer.conn().helo, "");
  ASSERT_TRUE(peer.deliver(milter_packet('K') + milter_packet('M', nul("<b@example.org>"))));
  EXPECT_TRUE(peer.conn().helo_received);
  EXPECT_EQ(peer.take_replies(), codes("ccc"));
}

TEST(MilterEnvelope, HandlersAnswerInsteadOfContinue) {
  MilterPeer peer;
  std::vector<std::string> seen;
  peer.table.helo = [&](MilterConnection&, std::string_view text) {
    seen.push_back(cat("helo ", text));
    return MilterResponse::TempFail;
  };
  peer.table.envfrom = [&](MilterConnection&, std::string_view text) {
    seen.push_back(cat("from ", text));
    return MilterResponse::Accept;
  };
  peer.table.envrcpt = [&](MilterConnection&, std::string_view text) {
    seen.push_back(cat("rcpt ", text));
    return MilterResponse::TempFail;
  };
  peer.table.header = [&](MilterConnection&, std::string_view name, std::string_view value) {
    seen.push_back(cat("header ", name, ": ", value));
    return MilterResponse::Accept;
  };
  peer.table.eoh = [&](MilterConnection&) {
    seen.push_back("eoh");
    return MilterResponse::TempFail;
  };
  peer.table.body = [&](MilterConnection&, Bytes chunk) {
    seen.push_back(cat("body ", as_text(chunk)));
    return MilterResponse::Accept;
  };
  ASSERT_TRUE(peer.deliver(milter_packet('H', nul("h")) + milter_packet('M', nul("<f>")) +
                           milter_packet('R', nul("<r>")) +
                           milter_packet('L', nul("Subject") + nul("hi")) + milter_packet('N') +
                           milter_packet('B', "chunk")));
  EXPECT_EQ(peer.take_replies(), codes("tatata"));
  EXPECT_EQ(seen, (std::vector<std::string>{"helo h", "from <f>", "rcpt <r>", "header Subject: hi",
                                            "eoh", "body chunk"}));
}

TEST(MilterMacros, RecognisedNamesInBothForms) {
  struct Case {
    std::string name;
    MacroSlot slot;
  };
  const Case cases[] = {
      {"{client_addr}", MacroSlot::ClientAddr},
      {"client_addr", MacroSlot::ClientAddr},
      {"{client_name}", MacroSlot::ClientName},
      {"client_name", MacroSlot::ClientName},
      {"{mail_addr}", MacroSlot::MailAddr},
      {"mail_addr", MacroSlot::MailAddr},
      {"{rcpt_addr}", MacroSlot::RcptAddr},
      {"rcpt_addr", MacroSlot::RcptAddr},
      {"i", MacroSlot::QueueId},
      {"{daemon_name}", MacroSlot::DaemonName},
      {"daemon_name", MacroSlot::DaemonName},
      {"{auth_type}", MacroSlot::AuthType},
      {"auth_type", MacroSlot::AuthType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MilterPeer peer;
    ASSERT_TRUE(peer.deliver(milter_packet('D', "C" + nul(c.name) + nul("value-1"))));
    EXPECT_EQ(peer.conn().macro(c.slot), "value-1");
    EXPECT_TRUE(peer.take_output().empty()) << "SMFIC_MACRO gets no answer";
  }
}

// Sendmail sends {client_addr} with the IPv6 tag as well; only the client
// address loses it, and the handler gets the bare connect address too.
TEST(MilterMacros, ClientAddressLosesSendmailsIpv6Tag) {
  MilterPeer peer;
  std::string handler_address;
  peer.table.connect = [&](MilterConnection&, const ConnectInfo& info) {
    handler_address = std::string(info.address);
    return MilterResponse::Continue;
  };
  ASSERT_TRUE(peer.deliver(
      milter_packet('D', "C" + nul("{client_addr}") + nul("IPv6:2001:db8::25") +
                             nul("{client_name}") + nul("IPv6:name") + nul("j") + nul("x")) +
      milter_packet('C', nul("[IPv6:2001:db8::25]") + '6' + std::string("\x00\x19", 2) +
                             nul("IPv6:2001:db8::25"))));
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientAddr), "2001:db8::25");
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientName), "IPv6:name");
  EXPECT_EQ(peer.conn().connect_address, "2001:db8::25");
  EXPECT_EQ(handler_address, "2001:db8::25");
  ASSERT_TRUE(peer.deliver(milter_packet('D', "C" + nul("client_addr") + nul("ipv6:::1"))));
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientAddr), "::1");
}

TEST(MilterMacros, UnrecognisedAndWronglyCasedNamesAreIgnored) {
  MilterPeer peer;
  ASSERT_TRUE(peer.deliver(milter_packet(
      'D', "E" + nul("{i}") + nul("braced") + nul("I") + nul("upper") + nul("{Client_Addr}") +
               nul("x") + nul("j") + nul("host") + nul("{client_addr") + nul("y"))));
  for (const std::string& value : peer.conn().macros) EXPECT_EQ(value, "");
  ASSERT_TRUE(peer.deliver(milter_packet('D', "M" + nul("i") + nul("4F2A1"))));
  EXPECT_EQ(peer.conn().macro(MacroSlot::QueueId), "4F2A1");
}

TEST(MilterMacros, PairsAreReadUntilANameLacksItsNul) {
  MilterPeer peer;
  // The later value of a repeated name wins; the last value may end without
  // a NUL; a name without NUL stops reading.
  ASSERT_TRUE(peer.deliver(milter_packet(
      'D', "C" + nul("{daemon_name}") + nul("first") + nul("{client_addr}") + nul("192.0.2.1") +
               nul("{daemon_name}") + nul("second") + nul("{auth_type}") + "PLAIN")));
  EXPECT_EQ(peer.conn().macro(MacroSlot::DaemonName), "second");
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientAddr), "192.0.2.1");
  EXPECT_EQ(peer.conn().macro(MacroSlot::AuthType), "PLAIN");
  ASSERT_TRUE(peer.deliver(
      milter_packet('D', "C" + nul("{client_name}") + nul("c.example") + "{client_addr}")));
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientName), "c.example");
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientAddr), "192.0.2.1");
  ASSERT_TRUE(peer.deliver(milter_packet('D', "C" + nul("{client_name}"))));
  EXPECT_EQ(peer.conn().macro(MacroSlot::ClientName), "") << "a name at the end has an empty value";
  ASSERT_TRUE(peer.deliver(milter_packet('D')));
  ASSERT_TRUE(peer.deliver(milter_packet('D', "C")));
  EXPECT_EQ(peer.conn().macro(MacroSlot::DaemonName), "second");
  EXPECT_TRUE(peer.take_output().empty());
}

TEST(MilterCommands, IgnoredCommandsAreAnsweredContinue) {
  LogCapture capture;
  MilterPeer peer;
  const char ignored[] = {'T', 'U', 'F', 'S', 'Z', 'a', '\0', '\x7F', '\xFF'};
  std::string wire;
  for (char command : ignored) wire += milter_packet(command, "payload");
  ASSERT_TRUE(peer.deliver(wire));
  EXPECT_EQ(peer.take_replies(), codes("ccccccccc"));
  const auto texts = capture.take_texts();
  ASSERT_EQ(texts.size(), std::size(ignored));
  EXPECT_EQ(texts[0], "milter: ignored SMFIC_DATA from unknown[local], answered SMFIR_CONTINUE");
  EXPECT_EQ(texts[1], "milter: ignored SMFIC_UNKNOWN from unknown[local], answered SMFIR_CONTINUE");
  EXPECT_EQ(texts[4], "milter: ignored command 0x5A from unknown[local], answered SMFIR_CONTINUE");
  EXPECT_EQ(texts[8], "milter: ignored command 0xFF from unknown[local], answered SMFIR_CONTINUE");
}

TEST(MilterCommands, MacroAbortAndQuitNcGetNoAnswer) {
  MilterPeer peer;
  int aborts = 0;
  peer.table.abort = [&](MilterConnection& connection) {
    ++aborts;
    EXPECT_EQ(connection.sender, "<f@example.org>") << "abort runs before the reset";
  };
  ASSERT_TRUE(peer.deliver(milter_packet('M', nul("<f@example.org>"))));
  EXPECT_EQ(peer.take_replies(), codes("c"));
  ASSERT_TRUE(peer.deliver(milter_packet('D', "M" + nul("i") + nul("Q1")) + milter_packet('A') +
                           milter_packet('K')));
  EXPECT_TRUE(peer.take_output().empty());
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(peer.conn().sender, "");
}

TEST(MilterCommands, QuitClosesWithoutAnswer) {
  MilterPeer peer;
  const int descriptor = peer.descriptor;
  EXPECT_FALSE(peer.deliver(milter_packet('Q') + milter_packet('H', "after-quit")));
  EXPECT_FALSE(peer.open());
  EXPECT_EQ(peer.closed, (std::vector<int>{descriptor}));
  EXPECT_TRUE(peer.take_output().empty());
}

TEST(MilterCommands, QuitNcKeepsConnectionLevelData) {
  MilterPeer peer;
  ASSERT_TRUE(peer.deliver(
      optneg(6, 0x1FF, 0x1FFFFF) +
      milter_packet('D', "C" + nul("{daemon_name}") + nul("mta") + nul("{client_addr}") +
                             nul("192.0.2.1") + nul("{client_name}") + nul("c.example") +
                             nul("{auth_type}") + nul("LOGIN")) +
      milter_packet('C', nul("c.example") + '4' + std::string("\0\x19", 2) + nul("192.0.2.1")) +
      milter_packet('H', nul("helo.example")) +
      milter_packet('D', "M" + nul("i") + nul("Q1") + nul("{mail_addr}") + nul("f@example.org")) +
      milter_packet('M', nul("<f@example.org>")) +
      milter_packet('D', "R" + nul("{rcpt_addr}") + nul("r@example.net")) +
      milter_packet('R', nul("<r@example.net>")) + milter_packet('L', nul("Subject") + nul("x")) +
      milter_packet('K')));
  peer.take_output();
  const MilterConnection& c = peer.conn();
  EXPECT_EQ(c.macro(MacroSlot::MailAddr), "");
  EXPECT_EQ(c.macro(MacroSlot::RcptAddr), "");
  EXPECT_EQ(c.macro(MacroSlot::QueueId), "");
  EXPECT_TRUE(c.headers.empty());
  EXPECT_EQ(c.header_bytes, 0u);
  EXPECT_EQ(c.sender, "");
  EXPECT_TRUE(c.recipients.empty());
  EXPECT_EQ(c.macro(MacroSlot::DaemonName), "mta");
  EXPECT_EQ(c.macro(MacroSlot::ClientAddr), "192.0.2.1");
  EXPECT_EQ(c.macro(MacroSlot::ClientName), "c.example");
  EXPECT_EQ(c.macro(MacroSlot::AuthType), "LOGIN");
  EXPECT_EQ(c.connect_address, "192.0.2.1");
  EXPECT_EQ(c.connect_family, '4');
  EXPECT_EQ(c.actions, 0x11u);
  EXPECT_EQ(c.protocol, 0x10u);
  // A new connect without HELO keeps the previous HELO name.
  ASSERT_TRUE(peer.deliver(
      milter_packet('C', nul("d.example") + '6' + std::string("\0\x19", 2) + nul("2001:db8::2"))));
  EXPECT_EQ(peer.conn().helo, "helo.example");
  EXPECT_EQ(peer.conn().connect_address, "2001:db8::2");
  EXPECT_EQ(peer.conn().connect_family, '6');
}

TEST(MilterCommands, CommandsAreAcceptedInAnyOrder) {
  MilterPeer peer;
  ASSERT_TRUE(peer.deliver(milter_packet('E') + milter_packet('R', nul("<r>")) +
                           milter_packet('H', nul("late.example")) + optneg(6, 0x1FF, 0x1FFFFF)));
  const auto replies = peer.take_replies();
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0], (Reply{'a', ""}));
  EXPECT_EQ(replies[1], (Reply{'c', ""}));
  EXPECT_EQ(replies[2], (Reply{'c', ""}));
  EXPECT_EQ(replies[3].code, 'O');
}

TEST(MilterNames, CommandAndResponseNames) {
  EXPECT_EQ(milter_command_name('O'), "SMFIC_OPTNEG");
  EXPECT_EQ(milter_command_name('K'), "SMFIC_QUIT_NC");
  EXPECT_EQ(milter_command_name('E'), "SMFIC_BODYEOB");
  EXPECT_EQ(milter_command_name(0x00), "command 0x00");
  EXPECT_EQ(milter_response_name(MilterResponse::InsHeader), "SMFIR_INSHEADER");
  EXPECT_EQ(milter_response_name(MilterResponse::TempFail), "SMFIR_TEMPFAIL");
}

}  // namespace
}  // namespace tessvane
