// Finding Authentication-Results headers that claim this system's
// authserv-id, and the deletions queued for them.

#include "policy/forged_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reply_reader.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::deletion_payload;
using testing::queued_replies;

TEST(ClaimsAuthservId, Table) {
  const struct {
    std::string_view value;
    bool claims;
  } cases[] = {
      {"localhost", true},
      {"LOCALHOST; spf=pass", true},
      {" \t\r\n\v\flocalhost;spf=pass", true},
      {"localhost spf=pass", true},
      {"localhost\tspf=pass", true},
      {"localhost.example; spf=pass", false},
      {"localhostx; spf=pass", false},
      {"localhos", false},
      {"", false},
      {"other; spf=pass", false},
      {"localhost\r\n\tspf=pass", false},  // only space, TAB or ';' may follow
  };
  for (const auto& c : cases) {
    EXPECT_EQ(claims_authserv_id(c.value, "localhost"), c.claims) << c.value;
  }
}

TEST(ReportsMethod, Table) {
  const struct {
    std::string_view value;
    bool reports;
  } cases[] = {
      {"localhost; spf=pass", true},
      {"localhost; SPF=fail smtp.mailfrom=example.org", true},
      {"localhost; dkim=pass header.d=example.org", false},
      {"localhost; dkim=pass; spf=softfail", true},
      {"localhost; (c) \r\n spf (x) = (y) neutral", false},  // a comment inside the method
      {"localhost;  (comment) spf = (c) neutral", true},
      {"localhost spf=pass", false},  // no ';': no results
      {"localhost; spf=", false},     // nothing after '='
      {"localhost; spf= (only a comment)", false},
      {"localhost; spf=(c)", false},
      {"localhost; dkim=pass (spf=pass)", false},              // inside a comment
      {"localhost; dkim=pass reason=\"x; spf=pass\"", false},  // inside a quoted string
      {"localhost (a;b); spf=pass", true},                     // ';' in a comment is not the first
      {"localhost; =pass", false},
      {"localhost; spf", false},
      {"localhost; spf=\"pass\"", true},
      {"localhost; (unterminated spf=pass", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reports_method(c.value, "spf"), c.reports) << c.value;
  }
}

TEST(DeleteBody, TwentyNineBytes) {
  const auto body = delete_auth_results_body(0x01020304);
  const std::string expected = std::string("m") + deletion_payload(0x01020304);
  ASSERT_EQ(expected.size(), kDeleteAuthResultsBodySize);
  EXPECT_EQ(as_text(std::span(body)), expected);
}

class ForgedHeaders : public ::testing::Test {
 protected:
  void add(std::string name, std::string value) {
    connection.headers.push_back({std::move(name), std::move(value)});
  }
  std::vector<std::string> names_and_values() const {
    std::vector<std::string> out;
    for (const HeaderField& h : connection.headers) out.push_back(h.name + ": " + h.value);
    return out;
  }

  MilterConnection connection{UniqueFd(), {}};
  testing::LogCapture log;
};

TEST_F(ForgedHeaders, CapitalisedClaimWithSpfIsRemovedAtOccurrenceOne) {
  connection.actions = kSmfifAddHdrs | kSmfifChgHdrs;
  add("Received", "from x");
  add("Authentication-Results", "LOCALHOST; spf=pass smtp.mailfrom=example.org");
  EXPECT_EQ(remove_forged_auth_results(connection, "localhost", "spf", false), 1u);
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].code, 'm');
  EXPECT_EQ(replies[0].payload, deletion_payload(1));
  EXPECT_EQ(names_and_values(), std::vector<std::string>{"Received: from x"});
  EXPECT_EQ(log.take_texts(),
            std::vector<std::string>{"removed 1 forged Authentication-Results header(s) claiming "
                                     "authserv-id localhost"});
}

TEST_F(ForgedHeaders, LastFirstWithOccurrencesCountingEveryAuthResultsHeader) {
  connection.actions = kSmfifChgHdrs;
  add("authentication-results", "mx.example; spf=pass");  // k=1
  add("Subject", "hello");
  add("Authentication-Results", "other.example; spf=fail");          // k=2, not claiming
  add("AUTHENTICATION-RESULTS", "mx.example; dkim=pass; spf=fail");  // k=3
  EXPECT_EQ(remove_forged_auth_results(connection, "mx.example", "spf", false), 2u);
  const auto replies = queued_replies(connection);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].payload, deletion_payload(3));
  EXPECT_EQ(replies[1].payload, deletion_payload(1));
  EXPECT_EQ(names_and_values(),
            (std::vector<std::string>{"Subject: hello",
                                      "Authentication-Results: other.example; spf=fail"}));
  EXPECT_TRUE(
      log.contains("removed 2 forged Authentication-Results header(s) claiming "
                   "authserv-id mx.example"));
}

TEST_F(ForgedHeaders, DkimOnlyClaimStaysUnlessStripping) {
  for (const bool strip : {false, true}) {
    connection.headers.clear();
    connection.output = {};
    connection.actions = kSmfifChgHdrs;
    add("Authentication-Results", "localhost; dkim=pass header.d=example.org");
    add("Authentication-Results", "localhost");
    add("Authentication-Results", "localhost.example; dkim=pass");
    const std::size_t removed = remove_forged_auth_results(connection, "localhost", "spf", strip);
    const auto replies = queued_replies(connection);
    if (strip) {
      EXPECT_EQ(removed, 2u);
      ASSERT_EQ(replies.size(), 2u);
      EXPECT_EQ(replies[0].payload, deletion_payload(2));
      EXPECT_EQ(replies[1].payload, deletion_payload(1));
      EXPECT_EQ(connection.headers.size(), 1u);
    } else {
      EXPECT_EQ(removed, 0u);
      EXPECT_TRUE(replies.empty());
      EXPECT_EQ(connection.headers.size(), 3u);
    }
  }
}

TEST_F(ForgedHeaders, WithoutChgHdrsNothingIsRemovedAndTheErrorIsLogged) {
  connection.actions = kSmfifAddHdrs;
  add("Authentication-Results", "localhost; spf=pass");
  add("Authentication-Results", "localhost; spf=fail");
  EXPECT_EQ(remove_forged_auth_results(connection, "localhost", "spf", false), 0u);
  EXPECT_TRUE(queued_replies(connection).empty());
  EXPECT_EQ(connection.headers.size(), 2u);
  EXPECT_EQ(log.take_texts(),
            std::vector<std::string>{"cannot remove 2 forged Authentication-Results header(s) "
                                     "claiming authserv-id localhost: MTA did not grant "
                                     "SMFIF_CHGHDRS"});
}

TEST_F(ForgedHeaders, DeletionThatCannotBeQueuedLeavesTheHeader) {
  connection.actions = kSmfifChgHdrs;
  // Fill the queue so that only one 33-byte deletion still fits.
  connection.output.buffer.resize(kOutputQueueBound - 33 - 10);
  add("Authentication-Results", "localhost; spf=pass");
  add("Authentication-Results", "localhost; spf=fail");
  EXPECT_EQ(remove_forged_auth_results(connection, "localhost", "spf", false), 1u);
  ASSERT_EQ(connection.headers.size(), 1u);
  EXPECT_EQ(connection.headers[0].value, "localhost; spf=pass");
  EXPECT_TRUE(log.contains("removed 1 forged"));
}

TEST_F(ForgedHeaders, NoClaimLogsNothing) {
  connection.actions = kSmfifChgHdrs;
  add("Authentication-Results", "elsewhere; spf=pass");
  EXPECT_EQ(remove_forged_auth_results(connection, "localhost", "spf", true), 0u);
  EXPECT_TRUE(log.take_texts().empty());
}

}  // namespace
}  // namespace tessvane
