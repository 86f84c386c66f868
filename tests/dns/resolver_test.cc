#include "dns/resolver.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/unique_fd.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::DnsResponder;
using testing::LogCapture;
using testing::LoggedQuery;

constexpr const char* kFirst = "127.0.0.1";
constexpr const char* kSecond = "127.0.0.2";
constexpr std::uint32_t kShortTimeoutMs = 150;

const std::string kAddress1("\xc0\x00\x02\x01", 4);  // 192.0.2.1
const std::string kAddress2("\xc0\x00\x02\x02", 4);

std::vector<std::string> servers_of(const std::vector<LoggedQuery>& queries) {
  std::vector<std::string> servers;
  for (const auto& q : queries) servers.push_back(cat(q.server, "/", q.transport));
  return servers;
}

std::vector<std::string> texts_with(const std::vector<std::string>& texts,
                                    std::string_view prefix) {
  std::vector<std::string> out;
  for (const auto& t : texts) {
    if (t.starts_with(prefix)) out.push_back(t);
  }
  return out;
}

// Two loopback nameservers on one port, answering from one zone.
class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(responder_.running());
    ASSERT_TRUE(responder_.set_zone(R"({
      "a.test": {"A": ["192.0.2.1", {"value": "192.0.2.2", "ttl": 60}]},
      "b.test": {"A": ["192.0.2.1"]},
      "c.test": {"A": ["192.0.2.1"]},
      "txt.test": {"TXT": [["v=spf1 ", "-all"]]},
      "nodata.test": {"MX": [[10, "mx.test"]]},
      "gone.test": {"rcode": 3}})"));
  }

  ResolverConfig config(std::vector<std::string> servers, std::uint8_t retries = 0,
                        std::uint32_t timeout_ms = kShortTimeoutMs) {
    ResolverConfig c;
    c.nameservers = std::move(servers);
    c.port = responder_.port();
    c.timeout_ms = timeout_ms;
    c.retries = retries;
    return c;
  }

  Resolver build(const ResolverConfig& c) {
    auto resolver = Resolver::build(c);
    EXPECT_TRUE(resolver) << error_name(resolver.error());
    return std::move(*resolver);
  }

  DnsResponder responder_{{kFirst, kSecond}};
};

TEST_F(ResolverTest, AnswersWithEveryRecordAndCachesThePositiveAnswer) {
  Resolver resolver = build(config({kFirst}));
  const auto answer = resolver.query("A.Test", kTypeA);
  ASSERT_TRUE(answer) << error_name(answer.error());
  ASSERT_EQ(answer->records.size(), 2u);
  EXPECT_EQ(answer->records[0], (ResourceRecord{"A.Test", kAddress1, 300, kTypeA}));
  EXPECT_EQ(answer->records[1], (ResourceRecord{"A.Test", kAddress2, 60, kTypeA}));

  const auto queries = responder_.take_queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].name, "A.Test");  // case reaches the wire unchanged
  EXPECT_EQ(queries[0].type, kTypeA);
  EXPECT_EQ(queries[0].edns_size, 1232);
  EXPECT_EQ(queries[0].transport, "udp");

  const auto again = resolver.query("a.test", kTypeA);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->records, answer->records);
  EXPECT_TRUE(responder_.take_queries().empty());
}

TEST_F(ResolverTest, TxtStringsAreJoined) {
  Resolver resolver = build(config({kFirst}));
  const auto txt = resolver.query("txt.test", kTypeTxt);
  ASSERT_TRUE(txt);
  ASSERT_EQ(txt->records.size(), 1u);
  EXPECT_EQ(txt->records[0].data, "v=spf1 -all");
}

TEST_F(ResolverTest, SilentFirstServerCostsAllItsAttemptsAndKeepsItsTurn) {
  ASSERT_TRUE(responder_.add_action(R"({"server": "127.0.0.1", "silent": true, "always": true})"));
  Resolver resolver = build(config({kFirst, kSecond}, 1));
  ASSERT_TRUE(resolver.query("a.test", kTypeA));
  auto queries = responder_.take_queries();
  EXPECT_EQ(servers_of(queries),
            (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.1/udp", "127.0.0.2/udp"}));
  ASSERT_EQ(queries.size(), 3u);
  EXPECT_EQ(queries[0].client_port, queries[1].client_port);  // retried on one socket
  EXPECT_EQ(queries[0].id, queries[1].id);

  // The second server answered: the next index is (1 + 1) mod 2, the silent
  // first server again.
  ASSERT_TRUE(resolver.query("b.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()),
            (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.1/udp", "127.0.0.2/udp"}));
}

TEST_F(ResolverTest, AnAnsweringServerMovesTheRotationOn) {
  Resolver resolver = build(config({kFirst, kSecond}));
  ASSERT_TRUE(resolver.query("a.test", kTypeA));
  ASSERT_TRUE(resolver.query("b.test", kTypeA));
  ASSERT_TRUE(resolver.query("c.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()),
            (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.2/udp", "127.0.0.1/udp"}));
}

TEST_F(ResolverTest, ServerFailureThenSilenceGivesTheHeldFailure) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(R"({"server": "127.0.0.1", "rcode": 2})"));
  ASSERT_TRUE(responder_.add_action(R"({"server": "127.0.0.2", "silent": true, "always": true})"));
  Resolver resolver = build(config({kFirst, kSecond}));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsServerFailure);
  const auto texts = log.take_texts();
  EXPECT_EQ(texts_with(texts, "dns: 127.0.0.1 returned"),
            std::vector<std::string>{"dns: 127.0.0.1 returned rcode=2, trying next server"});
  EXPECT_EQ(
      texts_with(texts, "dns: a.test refused"),
      std::vector<std::string>{"dns: a.test refused, rcode=server_failure from all nameservers"});
  EXPECT_TRUE(texts_with(texts, "dns: query").empty());
  EXPECT_EQ(servers_of(responder_.take_queries()),
            (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.2/udp"}));

  // A server_failure negative entry answers the same question at once.
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsServerFailure);
  EXPECT_TRUE(log.contains("dns: cache negative hit a.test kind=server_failure"));
  EXPECT_TRUE(responder_.take_queries().empty());
}

TEST_F(ResolverTest, RefusedEverywhereIsAServerFailureNotATimeout) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(R"({"rcode": 5, "always": true})"));
  Resolver resolver = build(config({kFirst, kSecond}, 2));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsServerFailure);
  const auto texts = log.take_texts();
  EXPECT_EQ(texts_with(texts, "dns: 127.0.0."),
            (std::vector<std::string>{"dns: 127.0.0.1 returned rcode=5, trying next server",
                                      "dns: 127.0.0.2 returned rcode=5, trying next server"}));
  EXPECT_EQ(texts_with(texts, "dns: a.test refused"),
            std::vector<std::string>{"dns: a.test refused, rcode=refused from all nameservers"});
  // No further attempts on a server that refused.
  EXPECT_EQ(responder_.take_queries().size(), 2u);
}

struct RcodeCase {
  unsigned rcode;
  ErrorCode error;
  const char* warning;  // nullptr: no refused warning
};

class ResolverRcode : public ResolverTest, public ::testing::WithParamInterface<RcodeCase> {};

TEST_P(ResolverRcode, OutcomeByResponseCode) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(cat(R"({"rcode": )", GetParam().rcode, "}")));
  Resolver resolver = build(config({kFirst, kSecond}));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), GetParam().error);
  const auto refused = texts_with(log.take_texts(), "dns: a.test refused");
  if (GetParam().warning) {
    EXPECT_EQ(refused, std::vector<std::string>{GetParam().warning});
  } else {
    EXPECT_TRUE(refused.empty());
  }
  // Accepted from the first server: no second server asked.
  EXPECT_EQ(responder_.take_queries().size(), 1u);
  // The outcome is cached either way.
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), GetParam().error);
  EXPECT_TRUE(responder_.take_queries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolverRcode,
    ::testing::Values(RcodeCase{3, ErrorCode::DnsNameError, nullptr},
                      RcodeCase{1, ErrorCode::DnsServerFailure,
                                "dns: a.test refused, rcode=format_error from all nameservers"},
                      RcodeCase{4, ErrorCode::DnsServerFailure,
                                "dns: a.test refused, rcode=not_implemented from all nameservers"},
                      RcodeCase{6, ErrorCode::DnsServerFailure,
                                "dns: a.test refused, rcode=rcode6 from all nameservers"},
                      RcodeCase{15, ErrorCode::DnsServerFailure,
                                "dns: a.test refused, rcode=rcode15 from all nameservers"}));

TEST_F(ResolverTest, NameErrorFromTheZoneIsCachedAsNameError) {
  LogCapture log;
  Resolver resolver = build(config({kFirst}));
  EXPECT_EQ(resolver.query("gone.test", kTypeTxt).error(), ErrorCode::DnsNameError);
  EXPECT_EQ(resolver.query("GONE.test", kTypeTxt).error(), ErrorCode::DnsNameError);
  EXPECT_TRUE(log.contains("dns: cache negative hit GONE.test kind=name_error"));
  EXPECT_EQ(responder_.take_queries().size(), 1u);
}

TEST_F(ResolverTest, ShortDatagramIsAFailedAttemptRetriedOnTheSameSocket) {
  ASSERT_TRUE(responder_.add_action(R"({"cut": 11})"));
  Resolver resolver = build(config({kFirst, kSecond}, 1));
  const auto answer = resolver.query("b.test", kTypeA);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->records.size(), 1u);
  const auto queries = responder_.take_queries();
  EXPECT_EQ(servers_of(queries), (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.1/udp"}));
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].client_port, queries[1].client_port);
}

TEST_F(ResolverTest, NoAnswerAnywhereIsATimeoutThatIsReportedAndCached) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(R"({"silent": true, "always": true})"));
  Resolver resolver = build(config({kFirst, kSecond}, 0));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  // With retries 0 every server gets exactly one attempt.
  EXPECT_EQ(servers_of(responder_.take_queries()),
            (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.2/udp"}));
  const auto failed =
      texts_with(log.take_texts(), "dns: query a.test failed err=error.DnsTimeout elapsed=");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_TRUE(failed[0].ends_with("ms"));

  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_TRUE(log.contains("dns: cache negative hit a.test kind=timeout"));
  EXPECT_TRUE(responder_.take_queries().empty());
}

TEST_F(ResolverTest, ZeroTimeoutStillEndsEachAttempt) {
  ASSERT_TRUE(responder_.add_action(R"({"silent": true, "always": true})"));
  Resolver resolver = build(config({kFirst}, 1, 0));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_EQ(responder_.take_queries().size(), 2u);
}

TEST_F(ResolverTest, EmptyNameserverListTimesOut) {
  LogCapture log;
  Resolver resolver = build(config({}));
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_EQ(texts_with(log.take_texts(), "dns: query a.test failed err=error.DnsTimeout").size(),
            1u);
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_TRUE(log.contains("kind=timeout"));
}

TEST_F(ResolverTest, EmptyAnswerIsReturnedButNotCached) {
  Resolver resolver = build(config({kFirst}));
  for (int i = 0; i < 2; ++i) {
    const auto answer = resolver.query("nodata.test", kTypeA);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->records.empty());
  }
  EXPECT_EQ(responder_.take_queries().size(), 2u);
}

TEST_F(ResolverTest, NamesThatCannotBeAskedOpenNoSocket) {
  LogCapture log;
  Resolver resolver = build(config({kFirst}));
  EXPECT_EQ(resolver.query(std::string(254, 'a'), kTypeTxt).error(), ErrorCode::NameTooLong);
  EXPECT_EQ(resolver.query("a..test", kTypeTxt).error(), ErrorCode::EmptyLabel);
  EXPECT_EQ(resolver.query(std::string(64, 'a') + ".test", kTypeTxt).error(),
            ErrorCode::LabelTooLong);
  EXPECT_TRUE(responder_.take_queries().empty());
  EXPECT_TRUE(texts_with(log.take_texts(), "dns: query").empty());
  // Nothing was cached for them either.
  EXPECT_EQ(resolver.query("a..test", kTypeTxt).error(), ErrorCode::EmptyLabel);
}

TEST_F(ResolverTest, TruncatedAnswerWithTcpRefusedKeepsTheUdpRecords) {
  LogCapture log;
  ASSERT_TRUE(responder_.add_action(R"({"transport": "udp", "tc": true})"));
  ASSERT_TRUE(responder_.set_tcp_mode(kFirst, "refuse"));
  ASSERT_TRUE(responder_.set_tcp_mode(kSecond, "refuse"));
  Resolver resolver = build(config({kFirst, kSecond}));
  const auto answer = resolver.query("a.test", kTypeA);
  ASSERT_TRUE(answer) << error_name(answer.error());
  EXPECT_EQ(answer->records.size(), 2u);
  const auto texts = log.take_texts();
  EXPECT_EQ(texts_with(texts, "dns: a.test truncated"),
            std::vector<std::string>{"dns: a.test truncated over udp, retrying over tcp"});
  EXPECT_EQ(texts_with(texts, "dns: tcp retry"),
            std::vector<std::string>{"dns: tcp retry for a.test failed err=error.DnsTimeout"});
}

TEST_F(ResolverTest, TruncatedAnswerIsReplacedByTheTcpAnswerOfTheNextServer) {
  // The truncated UDP reply carries no records; the TCP one carries the zone's.
  ASSERT_TRUE(responder_.add_action(R"({"transport": "udp", "tc": true, "rcode": 0})"));
  Resolver resolver = build(config({kFirst, kSecond}));
  const auto answer = resolver.query("a.test", kTypeA);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->records.size(), 2u);
  const auto queries = responder_.take_queries();
  EXPECT_EQ(servers_of(queries), (std::vector<std::string>{"127.0.0.1/udp", "127.0.0.2/tcp"}));
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].id, queries[1].id);
  // The TCP retry does not move the rotation: the first server answered.
  ASSERT_TRUE(resolver.query("b.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()), std::vector<std::string>{"127.0.0.2/udp"});
}

TEST_F(ResolverTest, TcpReplyThatCannotBeUsedLeavesTheUdpAnswer) {
  struct Case {
    const char* action;
    const char* debug;  // nullptr: no line about the TCP reply
  };
  const Case cases[] = {
      // A header claiming a question that is not there.
      {R"({"transport": "tcp", "raw_hex": "0000818000010000000000000000"})",
       "dns: tcp reply for a.test unparseable err=error.PacketTooShort"},
      {R"({"transport": "tcp", "wrong_id": true})", nullptr},
      {R"({"transport": "tcp", "close": true})", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    LogCapture log;
    ASSERT_TRUE(responder_.add_action(R"({"transport": "udp", "tc": true, "rcode": 0})"));
    ASSERT_TRUE(responder_.add_action(c.action));
    Resolver resolver = build(config({kFirst}));
    const auto answer = resolver.query("a.test", kTypeA);
    ASSERT_TRUE(answer) << error_name(answer.error());
    EXPECT_TRUE(answer->records.empty());
    const auto texts = log.take_texts();
    const auto unparseable = texts_with(texts, "dns: tcp reply for");
    if (c.debug) {
      EXPECT_EQ(unparseable, std::vector<std::string>{c.debug});
    } else {
      EXPECT_TRUE(unparseable.empty());
    }
    // A reply that arrived and was read ends the retry without the failure line.
    EXPECT_EQ(texts_with(texts, "dns: tcp retry for").size(),
              std::string_view(c.action).find("close") != std::string_view::npos ? 1u : 0u);
    responder_.take_queries();
  }
}

TEST_F(ResolverTest, DatagramFromAnotherPortIsIgnored) {
  // The spoofed datagram says "no such name"; the real reply follows it.
  ASSERT_TRUE(
      responder_.add_action(R"({"other_port": true, "stray_rcode": 3, "then_reply": true})"));
  Resolver resolver = build(config({kFirst}));
  const auto answer = resolver.query("b.test", kTypeA);
  ASSERT_TRUE(answer) << error_name(answer.error());
  EXPECT_EQ(answer->records.size(), 1u);
}

TEST_F(ResolverTest, DatagramWithAnotherIdIsIgnored) {
  ASSERT_TRUE(responder_.add_action(R"({"wrong_id": true, "stray_rcode": 3, "then_reply": true})"));
  Resolver resolver = build(config({kFirst}));
  const auto answer = resolver.query("b.test", kTypeA);
  ASSERT_TRUE(answer) << error_name(answer.error());
  EXPECT_EQ(answer->records.size(), 1u);
}

TEST_F(ResolverTest, OnlyStrayDatagramsEndInATimeout) {
  ASSERT_TRUE(responder_.add_action(R"({"other_port": true, "always": true})"));
  ASSERT_TRUE(responder_.add_action(R"({"wrong_id": true, "always": true})"));
  Resolver first = build(config({kFirst}, 1));
  EXPECT_EQ(first.query("b.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_EQ(responder_.take_queries().size(), 2u);
}

// TXT records of one string each under a four-letter name such as
// "big1.test": header 12, question 15, and per record the full owner name
// (11), the fixed fields (10) and the RDATA (1 + length).
std::string big_zone(std::string_view name, unsigned count, unsigned length) {
  std::string records;
  for (unsigned i = 0; i < count; ++i) {
    records += cat(i ? ", " : "", '"', std::string(length, static_cast<char>('a' + i % 26)), '"');
  }
  return cat(R"({")", name, R"(": {"TXT": [)", records, "]}}");
}

TEST_F(ResolverTest, ReplyBeyond4096BytesIsCutAndDecodedAsSuch) {
  Resolver resolver = build(config({kFirst}));
  // 27 + 18 * 222 = 4023: the cut at 4096 falls in the 19th record's data.
  ASSERT_TRUE(responder_.set_zone(big_zone("big1.test", 20, 200)));
  const auto cut_in_data = resolver.query("big1.test", kTypeTxt);
  ASSERT_TRUE(cut_in_data) << error_name(cut_in_data.error());
  ASSERT_EQ(cut_in_data->records.size(), 18u);
  EXPECT_EQ(cut_in_data->records[17].data, std::string(200, 'r'));

  // 27 + 29 * 140 = 4087: the cut falls in the 30th record's owner name, a
  // reply that cannot be decoded.
  ASSERT_TRUE(responder_.set_zone(big_zone("big2.test", 31, 118)));
  EXPECT_EQ(resolver.query("big2.test", kTypeTxt).error(), ErrorCode::DnsTransient);
}

TEST_F(ResolverTest, AllServersMarkedDownAsksNobody) {
  LogCapture log;
  HealthMarks marks(2);
  marks.set_up(0, false);
  marks.set_up(1, false);
  ResolverConfig c = config({kFirst, kSecond});
  c.health = &marks;
  Resolver resolver = build(c);
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsNoHealthyServers);
  const auto texts = log.take_texts();
  EXPECT_EQ(
      texts_with(texts, "dns: a.test"),
      std::vector<std::string>{"dns: a.test not queried, all nameservers marked down (monitor)"});
  EXPECT_TRUE(texts_with(texts, "dns: query").empty());
  EXPECT_TRUE(responder_.take_queries().empty());

  // Nothing was cached: once a server is up again the question goes out.
  marks.set_up(1, true);
  EXPECT_TRUE(resolver.query("a.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()), std::vector<std::string>{"127.0.0.2/udp"});
}

TEST_F(ResolverTest, ServersMarkedDownAreSkippedWhateverTheRotationSays) {
  HealthMarks marks(2);
  marks.set_up(0, false);
  ResolverConfig c = config({kFirst, kSecond});
  c.health = &marks;
  Resolver resolver = build(c);
  for (const char* name : {"a.test", "b.test", "c.test"}) ASSERT_TRUE(resolver.query(name, kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()),
            (std::vector<std::string>{"127.0.0.2/udp", "127.0.0.2/udp", "127.0.0.2/udp"}));
}

TEST_F(ResolverTest, ServersBeyondTheMarkedCountAreSkipped) {
  HealthMarks marks(1);
  ResolverConfig c = config({kFirst, kSecond});
  c.health = &marks;
  ASSERT_TRUE(responder_.add_action(R"({"server": "127.0.0.1", "silent": true, "always": true})"));
  Resolver resolver = build(c);
  EXPECT_EQ(resolver.query("a.test", kTypeA).error(), ErrorCode::DnsTimeout);
  EXPECT_EQ(servers_of(responder_.take_queries()), std::vector<std::string>{"127.0.0.1/udp"});
}

TEST_F(ResolverTest, BuildRefusesTextsThatAreNoAddress) {
  for (const char* text : {"localhost", "127.0.0.1:53", "", "[::1]", "300.1.1.1"}) {
    const auto built = Resolver::build(config({kFirst, text}));
    ASSERT_FALSE(built) << text;
    EXPECT_EQ(built.error(), ErrorCode::InvalidNameserver) << text;
    EXPECT_EQ(resolver_build_failure_message(built.error()),
              "DNS resolver: invalid nameserver address");
  }
}

TEST(ResolverBuildFailureMessage, NamesTheStepThatFailed) {
  EXPECT_EQ(
      resolver_build_failure_message(ErrorCode::OutOfMemory, ResolverBuildStep::ServerAddresses),
      "DNS resolver: failed to allocate server addresses");
  EXPECT_EQ(
      resolver_build_failure_message(ErrorCode::OutOfMemory, ResolverBuildStep::NameserverList),
      "DNS resolver: failed to allocate nameserver list");
  EXPECT_EQ(
      resolver_build_failure_message(ErrorCode::OutOfMemory, ResolverBuildStep::NameserverCopy),
      "DNS resolver: failed to copy nameserver");
}

bool ipv6_loopback_available() {
  UniqueFd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  return fd && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

TEST(ResolverIpv6, AsksAnIpv6NameserverOverUdpAndTcp) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no ::1 on this host";
  DnsResponder responder({"::1"});
  ASSERT_TRUE(responder.running());
  ASSERT_TRUE(responder.set_zone(R"({"six.test": {"AAAA": ["2001:db8::1"]}})"));
  ASSERT_TRUE(responder.add_action(R"({"transport": "udp", "tc": true, "rcode": 0})"));
  ResolverConfig c;
  c.nameservers = {"::1"};
  c.port = responder.port();
  c.timeout_ms = kShortTimeoutMs;
  auto resolver = Resolver::build(c);
  ASSERT_TRUE(resolver);
  const auto answer = resolver->query("six.test", kTypeAaaa);
  ASSERT_TRUE(answer) << error_name(answer.error());
  ASSERT_EQ(answer->records.size(), 1u);
  EXPECT_EQ(answer->records[0].data.size(), 16u);
  EXPECT_EQ(servers_of(responder.take_queries()), (std::vector<std::string>{"::1/udp", "::1/tcp"}));
}

TEST_F(ResolverTest, ThreadResolverBuildsLazilyAndRebuildsAfterDiscard) {
  ThreadResolver holder(config({kFirst, kSecond}));
  EXPECT_FALSE(holder.built());
  auto first = holder.get();
  ASSERT_TRUE(first);
  EXPECT_TRUE(holder.built());
  ASSERT_TRUE((*first)->query("a.test", kTypeA));
  ASSERT_TRUE((*first)->query("a.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()), std::vector<std::string>{"127.0.0.1/udp"});
  auto same = holder.get();
  ASSERT_TRUE(same);
  EXPECT_EQ(*same, *first);

  holder.discard();
  EXPECT_FALSE(holder.built());
  auto rebuilt = holder.get();
  ASSERT_TRUE(rebuilt);
  // An empty cache, and the rotation starts at the first server again.
  ASSERT_TRUE((*rebuilt)->query("a.test", kTypeA));
  EXPECT_EQ(servers_of(responder_.take_queries()), std::vector<std::string>{"127.0.0.1/udp"});
}

TEST(ThreadResolverBuild, FailedBuildIsReportedAndTriedAgain) {
  ResolverConfig c;
  c.nameservers = {"not-an-address"};
  ThreadResolver holder(c);
  EXPECT_EQ(holder.get().error(), ErrorCode::InvalidNameserver);
  EXPECT_FALSE(holder.built());
  EXPECT_EQ(holder.get().error(), ErrorCode::InvalidNameserver);
}

}  // namespace
}  // namespace tessvane
