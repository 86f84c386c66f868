#include "dns/answer_chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"

namespace tessvane {
namespace {

ResourceRecord txt(std::string owner, std::string text = "v=spf1 -all") {
  return {std::move(owner), std::move(text), 300, kTypeTxt};
}
ResourceRecord cname(std::string owner, std::string target) {
  return {std::move(owner), std::move(target), 300, kTypeCname};
}

struct ChainCase {
  const char* label;
  std::string asked;
  std::vector<ResourceRecord> records;
  std::vector<std::size_t> kept;  // indexes into records, in order
};

void PrintTo(const ChainCase& c, std::ostream* os) {
  *os << c.label;
}

class AnswerChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(AnswerChain, KeepsTheRecordsOfTheQuestionAndItsAliases) {
  const ChainCase& c = GetParam();
  std::vector<ResourceRecord> records = c.records;
  keep_answer_chain(records, c.asked);
  std::vector<ResourceRecord> expected;
  for (const std::size_t i : c.kept) expected.push_back(c.records[i]);
  EXPECT_EQ(records, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnswerChain,
    ::testing::Values(
        ChainCase{"owner_is_the_question", "a.test", {txt("a.test")}, {0}},
        ChainCase{"letter_case_and_outer_dots_do_not_count", "A.Test.", {txt("a.TEST")}, {0}},
        ChainCase{"another_owner", "a.test", {txt("evil.test"), txt("a.test")}, {1}},
        ChainCase{"a_subdomain_is_another_owner", "a.test", {txt("x.a.test")}, {}},
        ChainCase{"chain",
                  "a.test",
                  {cname("a.test", "b.test"), cname("b.test", "c.test"), txt("c.test")},
                  {0, 1, 2}},
        ChainCase{"chain_out_of_order",
                  "a.test",
                  {txt("c.test"), cname("b.test", "C.test"), cname("a.test", "b.test")},
                  {0, 1, 2}},
        ChainCase{"alias_of_another_owner_is_not_followed",
                  "a.test",
                  {cname("evil.test", "c.test"), txt("c.test"), txt("a.test")},
                  {2}},
        ChainCase{"loop_ends_the_chain",
                  "a.test",
                  {cname("a.test", "b.test"), cname("b.test", "a.test"), txt("b.test")},
                  {0, 1, 2}},
        ChainCase{"records_of_other_types_stay",
                  "a.test",
                  {{"a.test", "\x01\x02\x03\x04", 60, kTypeA}, txt("a.test")},
                  {0, 1}},
        ChainCase{"root", "", {txt(""), txt("a.test")}, {0}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(AnswerChainLength, NamesPastTheLongestChainAreDropped) {
  std::vector<ResourceRecord> records;
  for (std::size_t i = 0; i <= kMaxCnameChain; ++i) {
    records.push_back(cname(cat("n", i, ".test"), cat("n", i + 1, ".test")));
  }
  records.push_back(txt(cat("n", kMaxCnameChain + 1, ".test")));
  keep_answer_chain(records, "n0.test");
  // kMaxCnameChain aliases are followed: the owners n0 .. n16 stay.
  ASSERT_EQ(records.size(), kMaxCnameChain + 1);
  EXPECT_EQ(records.back().name, cat("n", kMaxCnameChain, ".test"));
}

}  // namespace
}  // namespace tessvane
