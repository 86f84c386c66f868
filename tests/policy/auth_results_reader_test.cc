// Reading Authentication-Results fields that arrived with a message: which
// authserv-id they claim and whether they report an spf result, checked
// against an independent RFC 8601 parser wherever that parser accepts them.

#include "policy/auth_results_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authres_checker.h"
#include "forged_field_cases.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::FieldCase;
using testing::kFieldCases;
using testing::kOurId;

TEST(AuthResultsReader, ReadsEachCase) {
  for (const FieldCase& c : kFieldCases) {
    EXPECT_EQ(claims_authserv_id(c.value, kOurId), c.claims) << c.value;
    EXPECT_EQ(reports_method(c.value, "spf"), c.reports_spf) << c.value;
  }
}

TEST(AuthResultsReader, ClaimEdges) {
  const struct {
    std::string_view value;
    std::string_view id;
    bool claims;
  } cases[] = {
      {"localhost", "localhost", true},  // the id alone
      {" \t\r\n\v\flocalhost;spf=pass", "localhost", true},
      {"localhost\tspf=pass", "localhost", true},
      {"localhos", "localhost", false},
      {"", "localhost", false},
      {"   ", "localhost", false},
      {"(only a comment)", "localhost", false},
      {"\"\"; spf=pass", "localhost", false},
      {"; spf=pass", "localhost", false},
      // An id no token can spell still matches the field's leading text.
      {"mx.example.net:25; spf=pass", "mx.example.net:25", true},
      {"MX.example.net:25(c); spf=pass", "mx.example.net:25", true},
      {"mx.example.net:250; spf=pass", "mx.example.net:25", false},
      {"\"mx.example.net:25\"; spf=pass", "mx.example.net:25", true},
      {"\"a\\\"b\"; spf=pass", "a\"b", true},  // an escaped quotation mark
      {"\"a\\\"; spf=pass", "a\"", false},    // ... that leaves it unclosed
      {"\"mx.example\n\t.net\"; spf=pass", "mx.example\t.net", true},  // unfolded
  };
  for (const auto& c : cases) {
    EXPECT_EQ(claims_authserv_id(c.value, c.id), c.claims) << c.value;
  }
}

// The method is compared whole and case-insensitively with the one asked for.
TEST(AuthResultsReader, AsksForTheGivenMethod) {
  EXPECT_TRUE(reports_method("x; DKIM/1 = pass", "dkim"));
  EXPECT_FALSE(reports_method("x; dkim=pass", "spf"));
  EXPECT_FALSE(reports_method("x; spf=pass", "sp"));
  EXPECT_FALSE(reports_method("x; spf=pass", ""));
}

// Each case as a header field, read by python3-authres (with the authserv-id
// of RFC 8601 2.2 rather than its dot-atom): every case marked strict must
// parse, and the parser's reading must agree with ours; every other case
// must be rejected, so that it really tests the lenient reading.
TEST(AuthResultsReader, AgreesWithAnIndependentParser) {
  testing::TempDir dir;
  std::string block;
  for (const FieldCase& c : kFieldCases) {
    block += "Authentication-Results: " + std::string(c.value) + "\n";
  }
  const std::vector<std::string> lines =
      testing::run_authres_checker(dir.write("fields", block), "--methods");
  ASSERT_EQ(lines.size(), std::size(kFieldCases)) << block;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const FieldCase& c = kFieldCases[i];
    if (!c.strict) {
      EXPECT_TRUE(lines[i].starts_with("error\t")) << c.value << " -> " << lines[i];
      continue;
    }
    ASSERT_TRUE(lines[i].starts_with("ok\t")) << c.value << " -> " << lines[i];
    const std::string_view line = lines[i];
    const std::size_t tab = line.find('\t', 3);
    const std::string_view id = line.substr(3, tab - 3);
    const std::string methods = "," + std::string(line.substr(tab + 1)) + ",";
    EXPECT_EQ(id == kOurId, c.claims) << c.value << " -> " << lines[i];
    EXPECT_EQ(methods.find(",spf,") != std::string::npos, c.reports_spf)
        << c.value << " -> " << lines[i];
  }
}

}  // namespace
}  // namespace tessvane
