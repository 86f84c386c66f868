#include "dns/reply_match.h"

#include <gtest/gtest.h>

#include <string>

#include "dns/message.h"
#include "dns/wire.h"

namespace tessvane {
namespace {

constexpr unsigned kId = 0x1234;
constexpr unsigned kResponse = 0x8180;  // QR, RD, RA

std::string query_for(std::string_view name, std::uint8_t type = kTypeTxt) {
  auto query = encode_query(kId, name, type);
  EXPECT_TRUE(query);
  return *query;
}

struct MatchCase {
  const char* label;
  std::string reply;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << c.label;
}

class ReplyMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ReplyMatch, AgainstTheQueryForMailExampleTxt) {
  const std::string query = query_for("Mail.Example");
  EXPECT_EQ(reply_matches(as_bytes(query), as_bytes(GetParam().reply)), GetParam().matches);
}

using namespace wire;

const std::string kAnswer = record(pointer(12), kTypeTxt, 300, character_string("v=spf1 -all"));

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyMatch,
    ::testing::Values(
        MatchCase{"the_answer",
                  header(kId, kResponse, 1, 1) + question("mail.example", 16) + kAnswer, true},
        MatchCase{"letter_case_differs",
                  header(kId, kResponse, 1, 0) + question("MAIL.example", 16), true},
        MatchCase{"any_response_code", header(kId, 0x8183, 1, 0) + question("mail.example", 16),
                  true},
        MatchCase{
            "question_through_a_pointer",
            // The question's name is a pointer to a copy stored after it.
            header(kId, kResponse, 1, 0) + pointer(18) + u16(16) + u16(1) + name("mail.example"),
            true},
        MatchCase{"other_id", header(kId ^ 1, kResponse, 1, 0) + question("mail.example", 16),
                  false},
        MatchCase{"qr_clear", header(kId, 0x0100, 1, 0) + question("mail.example", 16), false},
        MatchCase{"other_name", header(kId, kResponse, 1, 0) + question("mail.example.org", 16),
                  false},
        MatchCase{"one_label_holding_a_dot",
                  header(kId, kResponse, 1, 0) + u8(12) + "mail.example" + u8(0) + u16(16) + u16(1),
                  false},
        MatchCase{"other_type", header(kId, kResponse, 1, 0) + question("mail.example", 1), false},
        MatchCase{"other_class",
                  header(kId, kResponse, 1, 0) + name("mail.example") + u16(16) + u16(3), false},
        MatchCase{"no_question", header(kId, kResponse, 0, 0), false},
        MatchCase{"two_questions",
                  header(kId, kResponse, 2, 0) + question("mail.example", 16) +
                      question("mail.example", 16),
                  false},
        MatchCase{"question_cut_short",
                  header(kId, kResponse, 1, 0) + name("mail.example") + u16(16), false},
        MatchCase{"name_cut_short", header(kId, kResponse, 1, 0) + u8(4) + "mai", false},
        MatchCase{"pointer_loop", header(kId, kResponse, 1, 0) + pointer(12) + u16(16) + u16(1),
                  false},
        MatchCase{"pointer_past_the_end",
                  header(kId, kResponse, 1, 0) + pointer(400) + u16(16) + u16(1), false},
        MatchCase{"reserved_label_type",
                  header(kId, kResponse, 1, 0) + u8(0x40) + std::string(64, 'm') + u8(0) + u16(16) +
                      u16(1),
                  false},
        MatchCase{"header_only_part", header(kId, kResponse, 1, 0).substr(0, 5), false},
        MatchCase{"empty", "", false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(ReplyMatchQuery, TheRootAndDottedFormsAskTheSameQuestion) {
  const std::string root_reply = header(kId, kResponse, 1, 0) + question("", 2);
  EXPECT_TRUE(reply_matches(as_bytes(query_for(".", 2)), as_bytes(root_reply)));
  EXPECT_TRUE(reply_matches(as_bytes(query_for("", 2)), as_bytes(root_reply)));
  const std::string reply = header(kId, kResponse, 1, 0) + question("a.test", 16);
  EXPECT_TRUE(reply_matches(as_bytes(query_for("a.test.")), as_bytes(reply)));
  EXPECT_FALSE(reply_matches(as_bytes(query_for("a.test", 1)), as_bytes(reply)));
}

TEST(ReplyMatchQuery, LongestNamesCompareInFull) {
  const std::string label(63, 'x');
  const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'y');
  ASSERT_EQ(longest.size(), 253u);
  const std::string reply = header(kId, kResponse, 1, 0) + question(longest, 16);
  EXPECT_TRUE(reply_matches(as_bytes(query_for(longest)), as_bytes(reply)));
  std::string other_last = longest;
  other_last.back() = 'z';
  EXPECT_FALSE(reply_matches(as_bytes(query_for(other_last)), as_bytes(reply)));
}

}  // namespace
}  // namespace tessvane
