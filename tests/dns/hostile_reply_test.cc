// The resolver against replies a forger or a broken server sends, each case
// scripted on the loopback responder: replies to another question, reflected
// queries, records of other owners, malformed names, and answers too large
// to keep.

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "dns/hostile_records.h"
#include "dns/resolver.h"
#include "support/dns_responder.h"

namespace tessvane {
namespace {

using testing::DnsResponder;

constexpr std::uint32_t kShortTimeoutMs = 200;

struct HostileCase {
  std::string label;
  std::vector<std::string> actions;  // JSON objects, in order
  std::string name;                  // asked with type TXT
  std::optional<ErrorCode> error;    // or the data of the records used, in order
  std::vector<std::string> data;
};

void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.label;
}

using hostile::forged_pass;

// The case of one forged reply to victim.test, its header or question bent
// by bend, followed by the real reply.
HostileCase forged_then_real(std::string label, std::string_view bend) {
  return {std::move(label),
          {cat("{", bend, ", ", forged_pass("victim.test"), R"(, "then_reply": true})")},
          "victim.test",
          std::nullopt,
          {"v=spf1 -all"}};
}

class HostileReply : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(responder_.running());
    ASSERT_TRUE(responder_.set_zone(R"({
      "victim.test": {"TXT": ["v=spf1 -all"]},
      "alias.test": {"CNAME": ["target.test"]},
      "target.test": {"TXT": ["v=spf1 -all"]}})"));
  }

  Resolver build() {
    ResolverConfig config;
    config.nameservers = {"127.0.0.1"};
    config.port = responder_.port();
    config.timeout_ms = kShortTimeoutMs;
    config.retries = 0;
    auto resolver = Resolver::build(config);
    EXPECT_TRUE(resolver);
    return std::move(*resolver);
  }

  DnsResponder responder_;
};

TEST_P(HostileReply, OnlyTheAnswerToTheQuestionAskedIsUsed) {
  const HostileCase& c = GetParam();
  for (const auto& action : c.actions) ASSERT_TRUE(responder_.add_action(action));
  Resolver resolver = build();
  const auto answer = resolver.query(c.name, kTypeTxt);
  if (c.error) {
    ASSERT_FALSE(answer) << answer->records.size() << " records";
    EXPECT_EQ(error_name(answer.error()), error_name(*c.error));
    return;
  }
  ASSERT_TRUE(answer) << error_name(answer.error());
  std::vector<std::string> data;
  for (const auto& record : answer->records) data.push_back(record.data);
  EXPECT_EQ(data, c.data);
}

const std::string kBadOwner = hostile::hex(hostile::record_with_reserved_label_owner());
const std::string kLongOwner = hostile::hex(hostile::record_with_overlong_owner());
const std::string kBadCname =
    hostile::hex(hostile::cname_with_reserved_label_target("victim.test"));
const std::vector<std::string> kReal = {"v=spf1 -all"};

INSTANTIATE_TEST_SUITE_P(
    Table, HostileReply,
    ::testing::Values(
        forged_then_real("another_question_right_id", R"("question": "evil.test")"),
        HostileCase{"question_in_other_letter_case_is_the_same",
                    {R"({"question": "VICTIM.Test"})"},
                    "victim.test",
                    std::nullopt,
                    kReal},
        forged_then_real("qr_clear", R"("qr_clear": true)"),
        forged_then_real("another_type", R"("question_type": "A")"),
        forged_then_real("another_class", R"("question_class": 3)"),
        forged_then_real("no_question", R"("question_count": 0)"),
        forged_then_real("two_questions", R"("question_count": 2)"),
        HostileCase{
            "nothing_but_forgeries",
            {cat(R"({"question": "evil.test", "always": true, )", forged_pass("victim.test"), "}")},
            "victim.test",
            ErrorCode::DnsTimeout,
            {}},
        HostileCase{"records_of_another_owner",
                    {R"({"owner": "evil.test"})"},
                    "victim.test",
                    std::nullopt,
                    {}},
        HostileCase{
            "cname_chain_is_kept", {}, "alias.test", std::nullopt, {"target.test", "v=spf1 -all"}},
        HostileCase{"record_beside_the_chain_is_dropped",
                    {cat(R"({"answer_hex": ")",
                         hostile::hex(hostile::txt_record("evil.test", "v=spf1 +all")), R"("})")},
                    "alias.test",
                    std::nullopt,
                    {"target.test", "v=spf1 -all"}},
        HostileCase{"additional_section_is_not_an_answer",
                    {cat(R"({"zone_records": false, "additional_hex": ")",
                         hostile::hex(hostile::txt_record("victim.test", "v=spf1 +all")), R"("})")},
                    "victim.test",
                    std::nullopt,
                    {}},
        HostileCase{"malformed_authority_and_additional_are_not_read",
                    {cat(R"({"authority_hex": ")", kBadOwner, R"(", "additional_hex": ")",
                         kLongOwner, R"("})")},
                    "victim.test",
                    std::nullopt,
                    kReal},
        HostileCase{"reserved_label_byte_in_an_owner",
                    {cat(R"({"answer_hex": ")", kBadOwner, R"("})")},
                    "victim.test",
                    ErrorCode::DnsTransient,
                    {}},
        HostileCase{"owner_past_253_bytes",
                    {cat(R"({"answer_hex": ")", kLongOwner, R"("})")},
                    "victim.test",
                    ErrorCode::DnsTransient,
                    {}},
        HostileCase{"bad_label_in_a_cname_target",
                    {cat(R"({"zone_records": false, "answer_hex": ")", kBadCname, R"("})")},
                    "victim.test",
                    ErrorCode::DnsTransient,
                    {}},
        HostileCase{"tcp_reply_to_another_question",
                    {R"({"transport": "udp", "tc": true})",
                     cat(R"({"transport": "tcp", "question": "evil.test", )",
                         forged_pass("victim.test"), "}")},
                    "victim.test",
                    std::nullopt,
                    kReal},
        HostileCase{
            "tcp_reply_with_qr_clear",
            {R"({"transport": "udp", "tc": true})",
             cat(R"({"transport": "tcp", "qr_clear": true, )", forged_pass("victim.test"), "}")},
            "victim.test",
            std::nullopt,
            kReal}),
    [](const auto& param_info) { return param_info.param.label; });

// Consecutive queries (RFC 5452 section 9.2): IDs that are not a count, and
// none used twice within the run.
TEST_F(HostileReply, ConsecutiveQueriesCarryUnpredictableIds) {
  Resolver resolver = build();
  constexpr int kQueries = 24;
  for (int i = 0; i < kQueries; ++i) (void)resolver.query(cat("n", i, ".test"), kTypeTxt);
  const auto queries = responder_.take_queries();
  ASSERT_EQ(queries.size(), static_cast<std::size_t>(kQueries));
  std::set<std::uint16_t> distinct;
  int steps_of_one = 0;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    distinct.insert(queries[i].id);
    if (i > 0 && static_cast<std::uint16_t>(queries[i - 1].id + 1) == queries[i].id) ++steps_of_one;
  }
  EXPECT_EQ(distinct.size(), queries.size());
  EXPECT_LT(steps_of_one, 2);  // a chance of about 1 in 2^22 for a random pair or more
}

// 196-byte name: with the question, the first record written in full and
// 16 bytes per pointer record, 4,060 copies fill a TCP answer of 65,240
// bytes that decodes to over 1 MB.
TEST_F(HostileReply, HugeCompressedAnswerIsUsedButNotCached) {
  const std::string label(63, 'h');
  const std::string name = cat(label, ".", label, ".", label, ".test");
  ASSERT_EQ(name.size(), 196u);
  ASSERT_TRUE(responder_.set_zone(cat(R"({")", name, R"(": {"A": ["192.0.2.1"]}})")));
  ASSERT_TRUE(
      responder_.add_action(R"({"transport": "udp", "tc": true, "rcode": 0, "always": true})"));
  ASSERT_TRUE(
      responder_.add_action(R"({"transport": "tcp", "pointer_records": 4060, "always": true})"));
  Resolver resolver = build();
  for (int round = 0; round < 2; ++round) {
    const auto answer = resolver.query(name, kTypeA);
    ASSERT_TRUE(answer) << error_name(answer.error());
    ASSERT_EQ(answer->records.size(), 4061u);
    EXPECT_EQ(answer->records[4060].name, name);
    // Asked over the network both times: the answer was too large to keep.
    EXPECT_EQ(responder_.take_queries().size(), 2u) << "round " << round;
  }
}

}  // namespace
}  // namespace tessvane
