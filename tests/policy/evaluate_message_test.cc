// The end-of-message handler on a MilterConnection whose fields are set as
// the codec stores them: each verdict with its log lines, header and answer,
// against a loopback DNS responder, real list files in the process-wide
// holders, and the thread's resolver kept across messages until a reload.

#include "policy/evaluate_message.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/list_holder.h"
#include "config/settings.h"
#include "policy/auth_results.h"
#include "policy/thread_resolver.h"
#include "reply_reader.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::deletion_payload;
using testing::queued_replies;
using testing::QueuedReply;

constexpr std::string_view kZone = R"({
  "example.org": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]},
  "mx.example.net": {"TXT": ["v=spf1 ip4:198.51.100.7 ~all"]}
})";

// The handler's log texts with the elapsed time replaced, since it varies;
// the resolver's debug lines about its cache are left out.
std::vector<std::string> without_elapsed(const std::vector<std::string>& texts) {
  constexpr std::string_view kElapsed = "elapsed=";
  std::vector<std::string> out;
  for (std::string text : texts) {
    if (text.starts_with("dns: cache ")) continue;
    const std::size_t at = text.rfind(kElapsed);
    if (at != std::string::npos) {
      const std::size_t digits = at + kElapsed.size();
      const std::size_t end = text.find_first_not_of("0123456789", digits);
      if (end != digits && end != std::string::npos && text.compare(end, 2, "ms") == 0) {
        text.replace(digits, end - digits, "N");
      }
    }
    out.push_back(std::move(text));
  }
  return out;
}

// The SMFIR_INSHEADER reply the handler should have queued for these values.
QueuedReply header_reply(std::string_view result, std::string_view comment, std::string_view domain,
                         std::string_view helo, std::optional<std::string_view> client,
                         std::string_view authserv_id = "localhost") {
  Result<std::string> body = insheader_reply(
      authentication_results_value(authserv_id, result, comment, domain, helo, client));
  EXPECT_TRUE(body.has_value());
  if (!body || body->empty()) return {};
  return {(*body)[0], body->substr(1)};
}

void publish_list(ListHolder& holder, const std::string& path) {
  Result<AddressList> list = load_address_list(path);
  ASSERT_TRUE(list.has_value());
  Result<ListHolder::Box> box = holder.box(std::move(*list));
  ASSERT_TRUE(box.has_value());
  ASSERT_TRUE(holder.publish(std::move(*box)).has_value());
}

class EvaluateMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dns.running());
    ASSERT_TRUE(dns.set_zone(kZone));
    Settings& s = settings();
    s.nameservers = {"127.0.0.1"};
    s.dns_port = dns.port();
    s.dns_timeout_ms = 1000;
    s.dns_retries = 0;
    // This thread may hold a resolver from an earlier test, aimed elsewhere.
    acknowledge_reload();
    log.take_texts();
    connection.actions = kSmfifAddHdrs | kSmfifChgHdrs;
    connection.connect_family = '4';
    connection.macros[static_cast<std::size_t>(MacroSlot::QueueId)] = "Q1";
    connection.helo = "mx.example.net";
    connection.sender = "<user@example.org>";
  }
  void TearDown() override {
    acknowledge_reload();
    whitelist_holder().release_all();
    trusted_relays_holder().release_all();
    settings() = saved;
  }

  void set_client(std::string text) {
    connection.macros[static_cast<std::size_t>(MacroSlot::ClientAddr)] = std::move(text);
  }
  std::vector<std::string> texts() { return without_elapsed(log.take_texts()); }
  std::vector<std::string> queried_names() {
    std::vector<std::string> out;
    for (const testing::LoggedQuery& q : dns.take_queries()) out.push_back(q.name);
    return out;
  }

  const Settings saved = settings();
  testing::DnsResponder dns;
  testing::TempDir dir;
  testing::LogCapture log{Severity::Debug};
  MilterConnection connection{UniqueFd(), {}};
};

TEST_F(EvaluateMessage, LocalSubmissionWithoutClientAddress) {
  for (const char family : {'L', 'U'}) {
    connection.output = {};
    connection.connect_family = family;
    EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
    EXPECT_EQ(texts(), std::vector<std::string>{
                           "id=Q1 peer=unknown[local] client=- from=user@example.org result=none "
                           "reason=no client IP: local submission elapsed=Nms"});
    const auto replies = queued_replies(connection);
    ASSERT_EQ(replies.size(), 1u);
    const QueuedReply expected = header_reply("none", "no client IP: local submission",
                                              "example.org", "mx.example.net", std::nullopt);
    EXPECT_EQ(replies[0].code, expected.code);
    EXPECT_EQ(replies[0].payload, expected.payload);
  }
  EXPECT_TRUE(queried_names().empty());
}

TEST_F(EvaluateMessage, MissingOrMalformedClientAddressIsPermerror) {
  const struct {
    char family;
    std::string macro;
    std::string connect;
    std::string shown;
  } cases[] = {
      {'4', "", "", "-"},
      {'6', "", "", "-"},
      {'4', "not-an-ip", "192.0.2.10", "not-an-ip"},
      {'4', "", "192.0.2.300", "192.0.2.300"},
      {'6', "[2001:db8::1]", "", "[2001:db8::1]"},
  };
  for (const auto& c : cases) {
    connection.output = {};
    connection.connect_family = c.family;
    set_client(c.macro);
    connection.connect_address = c.connect;
    EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
    EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=" + c.shown +
                                                " from=user@example.org result=permerror "
                                                "reason=client IP address missing or malformed "
                                                "elapsed=Nms"})
        << c.shown;
    const auto replies = queued_replies(connection);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].payload,
              header_reply("permerror", "client IP address missing or malformed", "example.org",
                           "mx.example.net", std::nullopt)
                  .payload);
  }
  EXPECT_TRUE(queried_names().empty());
}

TEST_F(EvaluateMessage, TrustedRelayWinsOverWhitelist) {
  publish_list(trusted_relays_holder(), dir.write("relays", "# relays\n203.0.113.0/24\n"));
  publish_list(whitelist_holder(), dir.write("whitelist", "203.0.113.5\n198.51.100.0/24\n"));
  const struct {
    std::string client;
    std::string line_tail;
    std::string result;
    std::string comment;
  } cases[] = {
      {"203.0.113.5", "result=none reason=trusted-relay elapsed=Nms", "none",
       "trusted relay; not evaluated"},
      {"198.51.100.9", "result=pass (whitelisted) elapsed=Nms", "pass", "client is whitelisted"},
  };
  for (const auto& c : cases) {
    connection.output = {};
    set_client(c.client);
    EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
    EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=" + c.client +
                                                " from=user@example.org " + c.line_tail});
    const auto replies = queued_replies(connection);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].payload,
              header_reply(c.result, c.comment, "example.org", "mx.example.net", c.client).payload);
  }
  EXPECT_TRUE(queried_names().empty());
}

TEST_F(EvaluateMessage, EvaluatedResultsAreAcceptedWithTheirHeader) {
  const struct {
    std::string client;
    std::string result;
  } cases[] = {
      {"192.0.2.10", "pass"},
      {"203.0.113.1", "fail"},
      {"2001:db8::1", "fail"},
  };
  for (const auto& c : cases) {
    connection.output = {};
    set_client(c.client);
    EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
    EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=" + c.client +
                                                " from=user@example.org result=" + c.result +
                                                " elapsed=Nms"});
    const auto replies = queued_replies(connection);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].payload,
              header_reply(c.result, "", "example.org", "mx.example.net", c.client).payload);
  }
}

TEST_F(EvaluateMessage, Ipv4MappedClientIsEvaluatedAsIpv4ButShownAsReceived) {
  set_client("::ffff:192.0.2.10");
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=::ffff:192.0.2.10 "
                                              "from=user@example.org result=pass elapsed=Nms"});
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload,
            header_reply("pass", "", "example.org", "mx.example.net", "::ffff:192.0.2.10").payload);
}

TEST_F(EvaluateMessage, NullSenderEvaluatesHeloOrUnknown) {
  set_client("198.51.100.7");
  connection.sender = "<>";
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), std::vector<std::string>{
                         "id=Q1 peer=unknown[local] client=198.51.100.7 from=- result=pass "
                         "elapsed=Nms"});
  EXPECT_EQ(queried_names(), std::vector<std::string>{"mx.example.net"});
  auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload,
            header_reply("pass", "", "mx.example.net", "mx.example.net", "198.51.100.7").payload);

  connection.output = {};
  connection.helo.clear();
  connection.sender.clear();  // no MAIL FROM stored at all: also the null sender
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(queried_names(), std::vector<std::string>{"unknown"});
  replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload,
            header_reply("none", "", "unknown", "unknown", "198.51.100.7").payload);
}

TEST_F(EvaluateMessage, SenderEndingInAtSignIsNoneWithoutDns) {
  set_client("192.0.2.10");
  connection.sender = "<user@>";
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=192.0.2.10 "
                                              "from=user@ result=none elapsed=Nms"});
  EXPECT_TRUE(queried_names().empty());
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload,
            header_reply("none", "", "", "mx.example.net", "192.0.2.10").payload);
}

TEST_F(EvaluateMessage, TimeBudget) {
  set_client("192.0.2.10");
  settings().max_evaluation_ms = 0;  // no budget
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), std::vector<std::string>{"id=Q1 peer=unknown[local] client=192.0.2.10 "
                                              "from=user@example.org result=pass elapsed=Nms"});
  connection.output = {};
  settings().max_evaluation_ms = -1;  // a deadline already past
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(),
            (std::vector<std::string>{
                "id=Q1 peer=unknown[local] client=192.0.2.10 from=user@example.org "
                "result=temperror elapsed=Nms",
                "id=Q1 domain=example.org result=temperror reason=evaluation exceeded its time "
                "budget (RFC 7208 4.6.4)"}));
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  // The reason goes only to the log, not into the header.
  EXPECT_EQ(replies[0].payload,
            header_reply("temperror", "", "example.org", "mx.example.net", "192.0.2.10").payload);
}

TEST_F(EvaluateMessage, PeerQueueIdAndSenderAreSanitizedInTheLog) {
  set_client("192.0.2.10");
  connection.macros[static_cast<std::size_t>(MacroSlot::DaemonName)] = "mta one";
  connection.macros[static_cast<std::size_t>(MacroSlot::QueueId)].clear();
  connection.set_peer_label("127.0.0.1:2525");
  connection.sender = "<us\ter@example.org>";
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), std::vector<std::string>{"id=- peer=mta_one[127.0.0.1:2525] "
                                              "client=192.0.2.10 from=us_er@example.org "
                                              "result=pass elapsed=Nms"});
}

TEST_F(EvaluateMessage, ForgedHeadersAreDeletedBeforeTheVerdictHeader) {
  settings().authserv_id = "mx.example";
  set_client("192.0.2.10");
  connection.headers = {{"Authentication-Results", "MX.EXAMPLE; spf=pass"},
                        {"Authentication-Results", "mx.example; dkim=pass"},
                        {"Authentication-Results", "mx.example.org; spf=pass"},
                        {"Authentication-Results", "mx.example; spf=fail"}};
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].code, 'm');
  EXPECT_EQ(replies[0].payload, deletion_payload(4));
  EXPECT_EQ(replies[1].payload, deletion_payload(1));
  EXPECT_EQ(replies[2].payload,
            header_reply("pass", "", "example.org", "mx.example.net", "192.0.2.10", "mx.example")
                .payload);
  EXPECT_EQ(connection.headers.size(), 2u);
  EXPECT_EQ(texts().front(),
            "removed 2 forged Authentication-Results header(s) claiming authserv-id mx.example");

  // With StripAuthResults every claiming header goes, whatever it reports.
  settings().strip_auth_results = true;
  connection.output = {};
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].payload, deletion_payload(1));
  EXPECT_EQ(connection.headers.size(), 1u);
}

TEST_F(EvaluateMessage, WithoutChgHdrsForgedHeadersStayAndTheAnswerIsAccept) {
  connection.actions = kSmfifAddHdrs;
  set_client("192.0.2.10");
  connection.headers = {{"Authentication-Results", "localhost; spf=pass"}};
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].code, 'i');
  EXPECT_EQ(connection.headers.size(), 1u);
  EXPECT_EQ(texts().front(),
            "cannot remove 1 forged Authentication-Results header(s) claiming "
            "authserv-id localhost: MTA did not grant SMFIF_CHGHDRS");
}

TEST_F(EvaluateMessage, FullOutputQueueDefersButKeepsTheQueuedDeletion) {
  set_client("192.0.2.10");
  connection.headers = {{"Authentication-Results", "localhost; spf=pass"}};
  // Unsent bytes that leave room for the 33-byte deletion, not for the
  // verdict header after it.
  const std::size_t filler = kOutputQueueBound - 33 - 40;
  connection.output.buffer.assign(filler, std::byte{0});
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::TempFail);
  EXPECT_EQ(connection.output.buffer.size(), filler + 33);
  const std::string_view tail = as_text(std::span(connection.output.buffer)).substr(filler);
  EXPECT_EQ(tail.substr(4), "m" + deletion_payload(1));
  const std::vector<std::string> lines = texts();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "deferring: could not record the spf result (OutputQueueFull); delivering without it "
            "would misrepresent what was checked.");
}

TEST_F(EvaluateMessage, ResolverIsReusedUntilTheReloadHook) {
  set_client("192.0.2.10");
  EXPECT_FALSE(thread_resolver().built());
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(queried_names(), std::vector<std::string>{"example.org"});
  EXPECT_TRUE(thread_resolver().built());

  connection.output = {};
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_TRUE(queried_names().empty()) << "the second message is answered from the cache";

  log.take_texts();
  acknowledge_reload();
  EXPECT_EQ(log.take_texts(), std::vector<std::string>{"worker: config reload acknowledged"});
  EXPECT_FALSE(thread_resolver().built());
  connection.output = {};
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(queried_names(), std::vector<std::string>{"example.org"});
}

TEST_F(EvaluateMessage, UnusableNameserverIsTemperrorWithItsMessage) {
  settings().nameservers = {"ns.example.org"};
  acknowledge_reload();
  log.take_texts();
  set_client("192.0.2.10");
  EXPECT_EQ(evaluate_message_here(connection), MilterResponse::Accept);
  EXPECT_EQ(texts(), (std::vector<std::string>{
                         "DNS resolver: invalid nameserver address",
                         "id=Q1 peer=unknown[local] client=192.0.2.10 from=user@example.org "
                         "result=temperror elapsed=Nms",
                         "id=Q1 domain=example.org result=temperror reason=DNS lookup failed "
                         "transiently (RFC 7208 4.4)"}));
}

}  // namespace
}  // namespace tessvane
