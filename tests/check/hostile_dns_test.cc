// tessvane-check against a nameserver an attacker speaks for, as an attacker
// would try it: forged replies that would make a forged sender pass, and
// malformed replies that must end in temperror rather than "no such name".

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "check/program_fixture.h"
#include "dns/hostile_records.h"
#include "support/dns_responder.h"

namespace tessvane::testing {
namespace {

struct HostileRun {
  std::string label;
  std::string domain;                // the sender is postmaster@domain
  std::vector<std::string> actions;  // responder actions, in order
  std::string result;
};

void PrintTo(const HostileRun& c, std::ostream* os) {
  *os << c.label;
}

using hostile::forged_pass;

std::string on(std::string_view name, std::string_view type, std::string_view fields) {
  return cat(R"({"name": ")", name, R"(", "type": ")", type, R"(", )", fields, "}");
}

class HostileDns : public ::testing::TestWithParam<HostileRun> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dns_.running());
    // Every domain here fails the client unless a forgery gets through, or
    // passes it only when a malformed lookup passes for "no such name".
    ASSERT_TRUE(dns_.set_zone(R"({
      "victim.test": {"TXT": ["v=spf1 -all"]},
      "big.test": {"TXT": ["v=spf1 -all"]},
      "a-check.test": {"TXT": ["v=spf1 -a:bad.test +all"]},
      "include-check.test": {"TXT": ["v=spf1 include:bad.test -all"]},
      "bad.test": {"TXT": ["v=spf1 -all"], "A": ["198.51.100.9"]}})"));
  }

  ProgramRun check(std::string_view domain) {
    return run_check_program({"-i", "192.0.2.1", "-s", cat("postmaster@", domain), "-n",
                              "127.0.0.1", "-p", std::to_string(dns_.port())});
  }

  DnsResponder dns_;
};

TEST_P(HostileDns, GivesTheSoundResult) {
  const HostileRun& c = GetParam();
  for (const auto& action : c.actions) ASSERT_TRUE(dns_.add_action(action));
  const ProgramRun run = check(c.domain);
  EXPECT_TRUE(run.out.starts_with(cat("tessvane-check: ", c.result, "\n"))) << run.out;
  EXPECT_EQ(run.err, "");
}

const std::string kBadOwner = hostile::hex(hostile::record_with_reserved_label_owner());
const std::string kLongOwner = hostile::hex(hostile::record_with_overlong_owner());

INSTANTIATE_TEST_SUITE_P(
    Table, HostileDns,
    ::testing::Values(
        HostileRun{"reply_for_another_name_with_the_right_id",
                   "victim.test",
                   {on("victim.test", "TXT",
                       cat(R"("question": "attacker.test", "then_reply": true, )",
                           forged_pass("victim.test")))},
                   "fail"},
        HostileRun{
            "query_reflected_back",
            "victim.test",
            {on("victim.test", "TXT",
                cat(R"("qr_clear": true, "then_reply": true, )", forged_pass("victim.test")))},
            "fail"},
        HostileRun{"only_records_of_another_owner",
                   "victim.test",
                   {on("victim.test", "TXT", forged_pass("attacker.test"))},
                   "none"},
        HostileRun{"the_record_under_another_owner",
                   "victim.test",
                   {on("victim.test", "TXT", R"("owner": "attacker.test")")},
                   "none"},
        HostileRun{
            "pass_in_the_additional_section",
            "victim.test",
            {on("victim.test", "TXT",
                cat(R"("additional_hex": ")",
                    hostile::hex(hostile::txt_record("victim.test", "v=spf1 +all")), R"(")"))},
            "fail"},
        HostileRun{"malformed_authority_and_additional",
                   "victim.test",
                   {on("victim.test", "TXT",
                       cat(R"("authority_hex": ")", kBadOwner, R"(", "additional_hex": ")",
                           kLongOwner, R"(")"))},
                   "fail"},
        HostileRun{"tcp_reply_for_another_name",
                   "big.test",
                   {on("big.test", "TXT", R"("transport": "udp", "tc": true, "rcode": 0)"),
                    on("big.test", "TXT",
                       cat(R"("transport": "tcp", "question": "attacker.test", )",
                           forged_pass("big.test")))},
                   "none"},
        HostileRun{"reserved_label_byte_in_an_owner",
                   "a-check.test",
                   {on("bad.test", "A", cat(R"("answer_hex": ")", kBadOwner, R"(")"))},
                   "temperror"},
        HostileRun{"owner_decoding_past_253_bytes",
                   "a-check.test",
                   {on("bad.test", "A", cat(R"("answer_hex": ")", kLongOwner, R"(")"))},
                   "temperror"},
        HostileRun{
            "bad_label_in_a_cname_target",
            "a-check.test",
            {on("bad.test", "A",
                cat(R"("zone_records": false, "answer_hex": ")",
                    hostile::hex(hostile::cname_with_reserved_label_target("bad.test")), R"(")"))},
            "temperror"},
        HostileRun{"malformed_include_target",
                   "include-check.test",
                   {on("bad.test", "TXT", cat(R"("answer_hex": ")", kBadOwner, R"(")"))},
                   "temperror"}),
    [](const auto& param_info) { return param_info.param.label; });

// RFC 5452 section 9.2: the queries of one evaluation carry IDs that are not
// a count and are never used twice.
TEST_F(HostileDns, QueriesOfOneEvaluationCarryUnpredictableIds) {
  ASSERT_TRUE(dns_.set_zone(R"({"many.test": {"TXT": [
      "v=spf1 a:m1.test a:m2.test a:m3.test a:m4.test a:m5.test a:m6.test a:m7.test -all"]},
      "m1.test": {"A": ["198.51.100.1"]}, "m2.test": {"A": ["198.51.100.2"]},
      "m3.test": {"A": ["198.51.100.3"]}, "m4.test": {"A": ["198.51.100.4"]},
      "m5.test": {"A": ["198.51.100.5"]}, "m6.test": {"A": ["198.51.100.6"]},
      "m7.test": {"A": ["198.51.100.7"]}})"));
  dns_.take_queries();
  const ProgramRun run = check("many.test");
  EXPECT_TRUE(run.out.starts_with("tessvane-check: fail\n")) << run.out;
  const auto queries = dns_.take_queries();
  ASSERT_EQ(queries.size(), 8u);
  std::set<std::uint16_t> ids;
  int steps_of_one = 0;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    ids.insert(queries[i].id);
    if (i > 0 && static_cast<std::uint16_t>(queries[i - 1].id + 1) == queries[i].id) ++steps_of_one;
  }
  EXPECT_EQ(ids.size(), queries.size());
  EXPECT_LT(steps_of_one, 2);
}

}  // namespace
}  // namespace tessvane::testing
