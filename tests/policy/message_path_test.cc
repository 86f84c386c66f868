// Whole transactions from an MTA over a real socket, through the codec into
// the end-of-message handler, as MTAs really send them: Sendmail's IPv6
// client form, HELO names sent empty, never sent or in 8-bit bytes. The verdict is read
// from the header the MTA gets back and from the queries the loopback
// nameserver saw.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "milter/milter_peer.h"
#include "policy/auth_results.h"
#include "policy/evaluate_message.h"
#include "policy/thread_resolver.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::milter_packet;
using testing::nul;
using testing::u32_text;

constexpr std::string_view kZone = R"({
  "example.org": {"TXT": ["v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 -all"]},
  "helo.example.net": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]}
})";

class MessagePath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dns.running());
    ASSERT_TRUE(dns.set_zone(kZone));
    settings().nameservers = {"127.0.0.1"};
    settings().dns_port = dns.port();
    settings().dns_timeout_ms = 1000;
    settings().dns_retries = 0;
    acknowledge_reload();  // a resolver of an earlier test may aim elsewhere
  }
  void TearDown() override {
    acknowledge_reload();
    settings() = saved;
  }

  // Sends the transaction on a new connection and returns the payload of the
  // inserted header and the final answer.
  static std::pair<std::string, char> run(const std::string& envelope) {
    testing::MilterPeer peer;
    peer.table.eom = evaluate_message;
    const std::string input =
        milter_packet('O', u32_text(6) + u32_text(0x1FF) + u32_text(0x1FFFFF)) + envelope +
        milter_packet('L', nul("Subject") + nul("hello")) + milter_packet('N') +
        milter_packet('E');
    EXPECT_TRUE(peer.deliver(input));
    const std::vector<testing::Reply> replies = peer.take_replies();
    EXPECT_GE(replies.size(), 3u);
    if (replies.size() < 3) return {};
    const testing::Reply& header = replies[replies.size() - 2];
    EXPECT_EQ(header.code, 'i');
    return {header.payload, replies.back().code};
  }
  std::vector<std::string> queried_names() {
    std::vector<std::string> out;
    for (const testing::LoggedQuery& q : dns.take_queries()) out.push_back(q.name);
    return out;
  }

  const Settings saved = settings();
  testing::DnsResponder dns;
  testing::LogCapture log;
};

std::string expected_header(std::string_view result, std::string_view domain,
                            std::string_view helo, std::optional<std::string_view> client) {
  const Result<std::string> body = insheader_reply(
      authentication_results_value("localhost", result, "", domain, helo, client));
  EXPECT_TRUE(body.has_value());
  return body ? body->substr(1) : std::string();
}

// Sendmail writes the client as "IPv6:2001:db8::25" in the connect packet and
// in {client_addr}; the address is evaluated, logged and written bare.
TEST_F(MessagePath, SendmailIpv6ClientIsEvaluatedAsItsBareAddress) {
  const std::string port("\x00\x19", 2);
  const struct {
    std::string envelope;
    std::string_view client;
    std::string_view result;
  } cases[] = {
      {milter_packet('D', "C" + nul("{client_addr}") + nul("IPv6:2001:db8::25") + nul("j") +
                              nul("mx.example.com")) +
           milter_packet('C', nul("[IPv6:2001:db8::25]") + '6' + port + nul("IPv6:2001:db8::25")),
       "2001:db8::25", "pass"},
      // Only the connect packet, in another case, and outside the record.
      {milter_packet('C', nul("[IPv6:2001:db9::1]") + '6' + port + nul("ipv6:2001:db9::1")),
       "2001:db9::1", "fail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    const auto [header, answer] =
        run(c.envelope + milter_packet('H', nul("helo.example.net")) +
            milter_packet('M', nul("<user@example.org>")) + milter_packet('R', nul("<r@x>")));
    EXPECT_EQ(answer, 'a');
    EXPECT_EQ(header, expected_header(c.result, "example.org", "helo.example.net", c.client));
    EXPECT_TRUE(log.contains("client=" + std::string(c.client) +
                             " from=user@example.org result=" + std::string(c.result)));
  }
}

// With a null sender the HELO name is evaluated: an empty one gives none
// without any query, while a HELO never sent is evaluated as "unknown".
TEST_F(MessagePath, EmptyHeloIsNoneWithoutDnsButNoHeloIsUnknown) {
  const std::string connect =
      milter_packet('C', nul("client") + '4' + std::string("\x00\x19", 2) + nul("192.0.2.10"));
  const struct {
    std::string_view name;
    std::string helo_packets;
    std::string_view result;
    std::string_view header_helo;
    std::vector<std::string> queries;
  } cases[] = {
      {"sent empty", milter_packet('H', nul("")), "none", "", {}},
      {"sent empty, no NUL", milter_packet('H'), "none", "", {}},
      {"never sent", "", "none", "unknown", {"unknown"}},
      {"a name", milter_packet('H', nul("helo.example.net")), "pass", "helo.example.net",
       {"helo.example.net"}},
      // 8-bit bytes reach neither the header (written '?') nor a DNS name query
      // for anything but the name as sent.
      {"8-bit", milter_packet('H', nul("h\xC3\xA9lo")), "none", "h\xC3\xA9lo", {"h\xC3\xA9lo"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [header, answer] =
        run(connect + c.helo_packets + milter_packet('M', nul("<>")));
    EXPECT_EQ(answer, 'a');
    const std::string_view domain = c.queries.empty() ? "" : c.header_helo;
    EXPECT_EQ(header, expected_header(c.result, domain, c.header_helo, "192.0.2.10"));
    EXPECT_EQ(std::count_if(header.begin(), header.end(),
                            [](char b) { return static_cast<unsigned char>(b) >= 0x80; }),
              0)
        << "a header field is printable ASCII";
    EXPECT_EQ(queried_names(), c.queries);
  }
}

// The MTA acts on the end-of-message replies as one batch: the deletions of
// forged headers, the verdict header and the answer leave in one write (each
// write is a record of its own on a SOCK_SEQPACKET pair).
TEST_F(MessagePath, EndOfMessageRepliesLeaveInOneWrite) {
  testing::MilterPeer peer({}, SOCK_SEQPACKET);
  peer.table.eom = evaluate_message;
  const std::string packets[] = {
      milter_packet('O', u32_text(6) + u32_text(0x1FF) + u32_text(0x1FFFFF)),
      milter_packet('C', nul("localhost") + 'L' + std::string("\x00\x00", 2) + nul("/sock")),
      milter_packet('M', nul("<user@example.org>")),
      milter_packet('L', nul("Authentication-Results") + nul("localhost; spf=pass")),
      milter_packet('L', nul("Subject") + nul("hello")),
      milter_packet('L', nul("Authentication-Results") + nul("(c) \"LOCALHOST\"; spf/1=fail")),
      milter_packet('N'),
      milter_packet('E'),
  };
  for (const std::string& packet : packets) ASSERT_TRUE(peer.deliver(packet));
  const std::vector<std::string> writes = peer.take_writes();
  ASSERT_EQ(writes.size(), std::size(packets));
  std::string last_codes;
  for (std::string_view rest = writes.back(); rest.size() >= 5;) {
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(rest[i]);
    last_codes += rest[4];
    rest.remove_prefix(std::min(rest.size(), 4 + length));
  }
  EXPECT_EQ(last_codes, "mmia");
  EXPECT_TRUE(log.contains("removed 2 forged Authentication-Results header(s)"));
}

}  // namespace
}  // namespace tessvane
