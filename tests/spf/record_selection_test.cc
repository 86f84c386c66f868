#include "spf/record_selection.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace tessvane {
namespace {

TEST(IsSpfRecord, WantsTheVersionTagAloneOrBeforeSpaceOrTab) {
  struct Case {
    std::string_view text;
    bool expected;
  };
  const Case cases[] = {
      {"v=spf1", true},      {"V=SPF1", true},
      {"v=spf1 -all", true}, {"v=spf1\t-all", true},
      {"v=Spf1  ", true},    {"v=spf10", false},
      {"v=spf1-all", false}, {"v=spf1\n", false},
      {"v=spf", false},      {"", false},
      {" v=spf1", false},    {"v=spf2.0/pra +all", false},
      {"spf1 -all", false},  {std::string_view("v=spf1\0", 7), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_spf_record(c.text), c.expected) << "text: \"" << c.text << '"';
  }
}

ResourceRecord txt(std::string data) {
  return ResourceRecord{"example.com", std::move(data), 300, kTypeTxt};
}

TEST(SelectSpfRecord, ReturnsTheOneSpfStringAsAViewIntoItsRecord) {
  const std::vector<ResourceRecord> answers = {
      txt("google-site-verification=abc"),
      ResourceRecord{"example.com", "v=spf1 +all", 300, kTypeCname},
      txt("v=spf1 ip4:192.0.2.0/24 -all"),
      txt("v=spf10 -all"),
      ResourceRecord{"example.com", "v=spf1 ?all", 300, 99},
  };
  const auto selected = select_spf_record(answers);
  ASSERT_TRUE(selected.has_value());
  ASSERT_TRUE(selected->has_value());
  EXPECT_EQ(**selected, "v=spf1 ip4:192.0.2.0/24 -all");
  EXPECT_EQ((*selected)->data(), answers[2].data.data());
}

TEST(SelectSpfRecord, FindsNothingWithoutAnSpfTxtString) {
  const std::vector<ResourceRecord> none;
  const auto from_none = select_spf_record(none);
  ASSERT_TRUE(from_none.has_value());
  EXPECT_FALSE(from_none->has_value());
  const std::vector<ResourceRecord> others = {
      txt("v=spf10"), txt(""), ResourceRecord{"example.com", "v=spf1", 300, kTypeMx}};
  const auto from_others = select_spf_record(others);
  ASSERT_TRUE(from_others.has_value());
  EXPECT_FALSE(from_others->has_value());
}

TEST(SelectSpfRecord, RejectsTwoSpfStringsEvenWhenIdentical) {
  const std::vector<ResourceRecord> identical = {txt("v=spf1 -all"), txt("v=spf1 -all")};
  EXPECT_EQ(select_spf_record(identical), fail(ErrorCode::RecordSyntax));
  const std::vector<ResourceRecord> different = {txt("v=spf1 -all"), txt("other"),
                                                 txt("V=SPF1\t+all")};
  EXPECT_EQ(select_spf_record(different), fail(ErrorCode::RecordSyntax));
}

}  // namespace
}  // namespace tessvane
