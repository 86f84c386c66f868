// check_host against a loopback nameserver: the processing limits of RFC
// 7208 4.6.4, include and redirect, the p macro's lookups and the budget.

#include "spf/check_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/resolver.h"
#include "support/dns_responder.h"

namespace tessvane {
namespace {

struct Evaluation {
  SpfOutcome outcome;
  EvalLimits limits;
};

class CheckHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dns_.running()); }

  Resolver make_resolver() {
    ResolverConfig config;
    config.nameservers = {"127.0.0.1"};
    config.port = dns_.port();
    // Short, since some tests let the responder stay silent.
    config.timeout_ms = 300;
    config.retries = 0;
    auto resolver = Resolver::build(config);
    EXPECT_TRUE(resolver);
    return std::move(*resolver);
  }

  Evaluation evaluate(std::string_view domain, std::string_view client,
                      std::uint64_t max_void_lookups = 2, std::int64_t budget_ms = 20000) {
    Resolver resolver = make_resolver();
    const SpfRequest request{client, "user@example.com", "mail.example.com",
                             client.find(':') != std::string_view::npos};
    Evaluation evaluation;
    evaluation.limits = start_eval_limits(max_void_lookups, budget_ms, budget_clock_ms());
    EvalContext context{resolver, request, evaluation.limits};
    evaluation.outcome = check_host(context, domain, false);
    return evaluation;
  }

  // The names queried with the given type since the last call.
  std::vector<std::string> queried(std::uint16_t type) {
    std::vector<std::string> names;
    for (const auto& query : dns_.take_queries()) {
      if (query.type == type) names.push_back(query.name);
    }
    return names;
  }

  testing::DnsResponder dns_;
};

void expect_result(const Evaluation& e, SpfResult result) {
  EXPECT_FALSE(e.outcome.error) << error_name(*e.outcome.error);
  EXPECT_EQ(spf_result_name(e.outcome.result), spf_result_name(result));
}

void expect_error(const Evaluation& e, ErrorCode error) {
  ASSERT_TRUE(e.outcome.error) << "result " << spf_result_name(e.outcome.result);
  EXPECT_EQ(error_name(*e.outcome.error), error_name(error));
}

TEST_F(CheckHostTest, SelfIncludeEndsOnTheEleventhTerm) {
  ASSERT_TRUE(
      dns_.set_zone(R"({"loop.example.com": {"TXT": ["v=spf1 include:loop.example.com -all"]}})"));
  const Evaluation e = evaluate("loop.example.com", "192.0.2.1");
  expect_error(e, ErrorCode::TermLimitExceeded);
  EXPECT_EQ(e.limits.dns_term_count, 11u);
}

TEST_F(CheckHostTest, TenTermsPassAndAnEleventhFailsEvenWhenItWouldMatch) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "ten.example.com": {"TXT": ["v=spf1 a a a a a a a a a a -all"], "A": ["198.51.100.1"]},
    "eleven.example.com": {"TXT": ["v=spf1 a a a a a a a a a include:inner.example.com"],
                           "A": ["198.51.100.1"]},
    "inner.example.com": {"TXT": ["v=spf1 a:ok.example.com"]},
    "ok.example.com": {"A": ["192.0.2.1"]}})"));
  const Evaluation ten = evaluate("ten.example.com", "192.0.2.1");
  expect_result(ten, SpfResult::Fail);
  EXPECT_EQ(ten.limits.dns_term_count, 10u);
  expect_error(evaluate("eleven.example.com", "192.0.2.1"), ErrorCode::TermLimitExceeded);
}

TEST_F(CheckHostTest, ThirdVoidLookupFailsWithTheDefaultLimitAndNotWithoutLimit) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "voids.example.com": {"TXT": ["v=spf1 a:n1.example.com a:n2.example.com a:n3.example.com -all"]},
    "n2.example.com": {"TXT": ["not an address record"]}})"));
  const Evaluation limited = evaluate("voids.example.com", "192.0.2.1", 2);
  expect_error(limited, ErrorCode::VoidLookupLimitExceeded);
  EXPECT_EQ(limited.limits.void_lookup_count, 3u);
  const Evaluation unlimited = evaluate("voids.example.com", "192.0.2.1", 0);
  expect_result(unlimited, SpfResult::Fail);
  EXPECT_EQ(unlimited.limits.void_lookup_count, 3u);
}

TEST_F(CheckHostTest, NonExistentTopLevelDomainIsNoneAndOneVoidLookup) {
  const Evaluation e = evaluate("absent.example.com", "192.0.2.1");
  expect_result(e, SpfResult::None);
  EXPECT_EQ(e.limits.void_lookup_count, 1u);
}

std::string mx_zone(int exchanges, int matching) {
  std::string zone = R"({"mx.example.com": {"TXT": ["v=spf1 mx -all"], "MX": [)";
  for (int i = 1; i <= exchanges; ++i) {
    zone += (i > 1 ? "," : "") + std::string("[") + std::to_string(i) + ", \"mx" +
            std::to_string(i) + ".example.com\"]";
  }
  zone += "]}";
  for (int i = 1; i <= exchanges; ++i) {
    zone += ", \"mx" + std::to_string(i) + ".example.com\": {\"A\": [\"" +
            (i == matching ? "192.0.2.1" : "198.51.100." + std::to_string(i)) + "\"]}";
  }
  return zone + "}";
}

TEST_F(CheckHostTest, MxWithElevenExchangesFailsOnlyWhenAnEleventhIsNeeded) {
  ASSERT_TRUE(dns_.set_zone(mx_zone(11, 0)));
  dns_.take_queries();
  expect_error(evaluate("mx.example.com", "192.0.2.1"), ErrorCode::MechanismRecordLimitExceeded);
  EXPECT_EQ(queried(kTypeA).size(), 10u);
  ASSERT_TRUE(dns_.set_zone(mx_zone(11, 10)));
  expect_result(evaluate("mx.example.com", "192.0.2.1"), SpfResult::Pass);
  ASSERT_TRUE(dns_.set_zone(mx_zone(11, 11)));
  expect_error(evaluate("mx.example.com", "192.0.2.1"), ErrorCode::MechanismRecordLimitExceeded);
}

TEST_F(CheckHostTest, PtrValidatesOnlyTheFirstTenNames) {
  std::string zone = R"({"ptr.example.com": {"TXT": ["v=spf1 ptr -all"]},
                         "9.2.0.192.in-addr.arpa": {"PTR": [)";
  for (int i = 1; i <= 12; ++i) {
    zone += (i > 1 ? "," : "") + std::string("\"h") + std::to_string(i) + ".ptr.example.com\"";
  }
  zone += "]}";
  // Only the 11th and 12th names lead back to the client.
  for (int i = 1; i <= 12; ++i) {
    zone += ", \"h" + std::to_string(i) + ".ptr.example.com\": {\"A\": [\"" +
            (i > 10 ? "192.0.2.9" : "198.51.100.9") + "\"]}";
  }
  ASSERT_TRUE(dns_.set_zone(zone + "}"));
  dns_.take_queries();
  expect_result(evaluate("ptr.example.com", "192.0.2.9"), SpfResult::Fail);
  const auto looked_up = queried(kTypeA);
  ASSERT_EQ(looked_up.size(), 10u);
  EXPECT_EQ(looked_up.back(), "h10.ptr.example.com");
  ASSERT_TRUE(dns_.set_zone(R"({"h10.ptr.example.com": {"A": ["192.0.2.9"]}})"));
  expect_result(evaluate("ptr.example.com", "192.0.2.9"), SpfResult::Pass);
}

TEST_F(CheckHostTest, IncludeOfFailingRecordIsNoMatchAndEvaluationGoesOn) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "outer.example.com": {"TXT": ["v=spf1 include:deny.example.com ip4:192.0.2.0/24 ~all"]},
    "deny.example.com": {"TXT": ["v=spf1 -all"]},
    "noinner.example.com": {"TXT": ["v=spf1 include:empty.example.com +all"]},
    "empty.example.com": {"TXT": ["some other text"]}})"));
  expect_result(evaluate("outer.example.com", "192.0.2.7"), SpfResult::Pass);
  expect_result(evaluate("outer.example.com", "198.51.100.7"), SpfResult::Softfail);
  expect_error(evaluate("noinner.example.com", "192.0.2.7"), ErrorCode::NoRecordAtTarget);
  expect_error(evaluate("noinner.example.com", "192.0.2.7"), ErrorCode::NoRecordAtTarget);
}

TEST_F(CheckHostTest, RedirectAppliesOnlyWhenNothingMatched) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "redir.example.com": {"TXT": ["v=spf1 ip4:192.0.2.0/24 redirect=target.example.com"]},
    "target.example.com": {"TXT": ["v=spf1 -all"]},
    "redir-none.example.com": {"TXT": ["v=spf1 redirect=absent.example.com"]}})"));
  expect_result(evaluate("redir.example.com", "198.51.100.1"), SpfResult::Fail);
  const Evaluation matched = evaluate("redir.example.com", "192.0.2.1");
  expect_result(matched, SpfResult::Pass);
  EXPECT_EQ(matched.limits.dns_term_count, 0u);
  expect_error(evaluate("redir-none.example.com", "192.0.2.1"), ErrorCode::NoRecordAtTarget);
}

TEST_F(CheckHostTest, ExpiredDeadlineSendsNoQuery) {
  ASSERT_TRUE(dns_.set_zone(R"({"example.com": {"TXT": ["v=spf1 +all"]}})"));
  dns_.take_queries();
  const Evaluation e = evaluate("example.com", "192.0.2.1", 2, -1);
  expect_error(e, ErrorCode::Timeout);
  EXPECT_EQ(classify_outcome(e.outcome).reason,
            "evaluation exceeded its time budget (RFC 7208 4.6.4)");
  EXPECT_TRUE(dns_.take_queries().empty());
}

TEST_F(CheckHostTest, RecordLevelOutcomes) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "two.example.com": {"TXT": ["v=spf1 +all", "v=spf1 +all"]},
    "late-error.example.com": {"TXT": ["v=spf1 ip4:192.0.2.1 ip4:192.0.2.300"]},
    "bare.example.com": {"TXT": ["v=spf1"]},
    "nomatch.example.com": {"TXT": ["v=spf1 ip4:198.51.100.0/24"]},
    "other.example.com": {"TXT": ["v=spf10 +all", "hello"]},
    "split.example.com": {"TXT": [["v=spf1 ip4:192.0.2.1", " -all"]]},
    "badmacro.example.com": {"TXT": ["v=spf1 a:%{d0}.example.com"]},
    "servfail.example.com": {"rcode": 2},
    "silent.example.com": {"timeout": true}})"));
  expect_error(evaluate("two.example.com", "192.0.2.1"), ErrorCode::RecordSyntax);
  expect_error(evaluate("late-error.example.com", "192.0.2.1"), ErrorCode::RecordSyntax);
  expect_result(evaluate("bare.example.com", "192.0.2.1"), SpfResult::Neutral);
  expect_result(evaluate("nomatch.example.com", "192.0.2.1"), SpfResult::Neutral);
  expect_result(evaluate("other.example.com", "192.0.2.1"), SpfResult::None);
  expect_result(evaluate("split.example.com", "192.0.2.1"), SpfResult::Pass);
  expect_error(evaluate("badmacro.example.com", "192.0.2.1"), ErrorCode::RecordSyntax);
  expect_error(evaluate("servfail.example.com", "192.0.2.1"), ErrorCode::DnsTransient);
  expect_error(evaluate("silent.example.com", "192.0.2.1"), ErrorCode::DnsTransient);
}

TEST_F(CheckHostTest, AddressFamiliesNeverCross) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "any4.example.com": {"TXT": ["v=spf1 ip4:0.0.0.0/0 -all"]},
    "any6.example.com": {"TXT": ["v=spf1 ip6:::/0 -all"]},
    "a6.example.com": {"TXT": ["v=spf1 a//64 -all"], "A": ["192.0.2.1"],
                       "AAAA": ["2001:db8:1:2::1"]}})"));
  expect_result(evaluate("any4.example.com", "2001:db8::1"), SpfResult::Fail);
  expect_result(evaluate("any4.example.com", "192.0.2.1"), SpfResult::Pass);
  expect_result(evaluate("any6.example.com", "192.0.2.1"), SpfResult::Fail);
  expect_result(evaluate("any6.example.com", "2001:db8::1"), SpfResult::Pass);
  expect_result(evaluate("a6.example.com", "2001:db8:1:2::ffff"), SpfResult::Pass);
  expect_result(evaluate("a6.example.com", "2001:db8:1:3::1"), SpfResult::Fail);
  expect_result(evaluate("a6.example.com", "192.0.2.1"), SpfResult::Pass);
}

TEST_F(CheckHostTest, ExistsAsksForARecordsAlsoForIpv6Clients) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "exists.example.com": {"TXT": ["v=spf1 exists:%{ir}.%{v}.list.example.com -all"]},
    "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.list.example.com":
        {"A": ["127.0.0.2"]}})"));
  dns_.take_queries();
  expect_result(evaluate("exists.example.com", "2001:db8::1"), SpfResult::Pass);
  const auto names = queried(kTypeA);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].ends_with(".ip6.list.example.com"));
  expect_result(evaluate("exists.example.com", "2001:db8::2"), SpfResult::Fail);
}

TEST_F(CheckHostTest, PMacroWithoutValidatedNamesIsUnknownAndItsLookupCounts) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "p.example.com": {"TXT": ["v=spf1 exists:%{p}.p.example.com -all"]},
    "unknown.p.example.com": {"A": ["127.0.0.2"]},
    "7.2.0.192.in-addr.arpa": {"PTR": ["host.p.example.com"]},
    "host.p.example.com": {"A": ["192.0.2.7"]},
    "host.p.example.com.p.example.com": {"A": ["127.0.0.2"]}})"));
  const Evaluation unknown = evaluate("p.example.com", "192.0.2.77");
  expect_result(unknown, SpfResult::Pass);
  EXPECT_EQ(unknown.limits.void_lookup_count, 1u);
  // A validated name that is a subdomain of the current domain is chosen.
  expect_result(evaluate("p.example.com", "192.0.2.7"), SpfResult::Pass);
}

// The escaped form "%%{p}" still causes the lookups; the name keeps "%{p}".
TEST_F(CheckHostTest, EscapedPMacroLooksUpTheNames) {
  ASSERT_TRUE(dns_.set_zone(R"({
    "esc.example.com": {"TXT": ["v=spf1 exists:x%%{p}.esc.example.com -all"]}})"));
  dns_.take_queries();
  const Evaluation e = evaluate("esc.example.com", "192.0.2.8");
  expect_result(e, SpfResult::Fail);
  EXPECT_EQ(queried(kTypePtr), std::vector<std::string>{"8.2.0.192.in-addr.arpa"});
  EXPECT_EQ(e.limits.void_lookup_count, 2u);
}

TEST(ClassifyOutcomeTest, ResultsAndReasons) {
  struct Case {
    ErrorCode error;
    SpfResult result;
    std::string_view reason;
  };
  for (const Case& c : std::vector<Case>{
           {ErrorCode::TermLimitExceeded, SpfResult::Permerror,
            "more than 10 DNS-querying terms (RFC 7208 4.6.4)"},
           {ErrorCode::MechanismRecordLimitExceeded, SpfResult::Permerror,
            "more than 10 records in one mechanism (RFC 7208 4.6.4)"},
           {ErrorCode::VoidLookupLimitExceeded, SpfResult::Permerror,
            "too many void DNS lookups (RFC 7208 4.6.4)"},
           {ErrorCode::NoRecordAtTarget, SpfResult::Permerror,
            "include or redirect target publishes no SPF record (RFC 7208 5.2, 6.1)"},
           {ErrorCode::RecordSyntax, SpfResult::Permerror, "malformed SPF record (RFC 7208 4.6)"},
           {ErrorCode::DnsTransient, SpfResult::Temperror,
            "DNS lookup failed transiently (RFC 7208 4.4)"},
           {ErrorCode::Timeout, SpfResult::Temperror,
            "evaluation exceeded its time budget (RFC 7208 4.6.4)"},
           {ErrorCode::OutOfMemory, SpfResult::Temperror, "receiver out of memory"},
           {ErrorCode::Unexpected, SpfResult::Temperror, "receiver out of memory"}}) {
    const SpfVerdict verdict = classify_outcome(SpfOutcome::failed(c.error));
    EXPECT_EQ(verdict.result, c.result) << error_name(c.error);
    EXPECT_EQ(verdict.reason, c.reason);
  }
  const SpfVerdict softfail = classify_outcome(SpfOutcome::of(SpfResult::Softfail));
  EXPECT_EQ(softfail.result, SpfResult::Softfail);
  EXPECT_EQ(softfail.reason, "");
}

TEST(EvalLimitsTest, DeadlineFromBudget) {
  EXPECT_EQ(start_eval_limits(2, 20000, 1000).deadline_ms, 21000);
  EXPECT_EQ(start_eval_limits(2, 0, 1000).deadline_ms, INT64_MAX);
  EXPECT_EQ(start_eval_limits(2, INT64_MAX, 1000).deadline_ms, INT64_MAX);
  const EvalLimits limits = start_eval_limits(5, 300, 1000);
  EXPECT_EQ(limits.max_void_lookups, 5u);
  EXPECT_EQ(limits.max_evaluation_ms, 300);
  EXPECT_EQ(limits.dns_term_count, 0u);
  EXPECT_EQ(limits.void_lookup_count, 0u);
}

}  // namespace
}  // namespace tessvane
