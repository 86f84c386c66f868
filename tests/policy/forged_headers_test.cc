// Finding Authentication-Results headers that claim this system's
// authserv-id, and the deletions queued for them.

#include "policy/forged_headers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "forged_field_cases.h"
#include "milter/milter_peer.h"
#include "reply_reader.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::deletion_payload;
using testing::queued_replies;

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

// Every field case as one header of a single message from an MTA over a
// socket, with other headers between them: the deletions name exactly the
// forged occurrences, last first, before the answer, and exactly those
// headers leave the stored list.
TEST(ForgedHeadersOverASocket, EachForgedCaseIsDeletedAndNothingElse) {
  for (const bool strip : {false, true}) {
    SCOPED_TRACE(strip ? "StripAuthResults on" : "StripAuthResults off");
    testing::LogCapture log;
    testing::MilterPeer peer;
    std::vector<std::string> kept;
    peer.table.eom = [&](MilterConnection& connection) {
      remove_forged_auth_results(connection, testing::kOurId, "spf", strip);
      for (const HeaderField& h : connection.headers) kept.push_back(h.value);
      return MilterResponse::Accept;
    };
    using testing::milter_packet;
    using testing::nul;
    std::string input = milter_packet('O', testing::u32_text(6) + testing::u32_text(0x1FF) +
                                               testing::u32_text(0x1FFFFF));
    std::vector<std::string> expected_kept;
    std::vector<std::uint32_t> forged;
    std::uint32_t occurrence = 0;
    for (const testing::FieldCase& c : testing::kFieldCases) {
      input += milter_packet('L', nul("Received") + nul("from relay"));
      input += milter_packet('L', nul(++occurrence % 2 ? "Authentication-Results"
                                                       : "authentication-results") +
                                      nul(c.value));
      expected_kept.push_back("from relay");
      if (c.claims && (strip || c.reports_spf)) {
        forged.push_back(occurrence);
      } else {
        expected_kept.push_back(std::string(c.value));
      }
    }
    input += milter_packet('E');
    ASSERT_TRUE(peer.deliver(input));
    std::reverse(forged.begin(), forged.end());

    const std::vector<testing::Reply> replies = peer.take_replies();
    const std::size_t headers = 2 * std::size(testing::kFieldCases);
    ASSERT_EQ(replies.size(), 1 + headers + forged.size() + 1);
    EXPECT_EQ(replies.front().code, 'O');
    for (std::size_t i = 0; i < forged.size(); ++i) {
      const testing::Reply& reply = replies[1 + headers + i];
      EXPECT_EQ(reply.code, 'm');
      EXPECT_EQ(reply.payload, deletion_payload(forged[i])) << "deletion " << i;
    }
    EXPECT_EQ(replies.back().code, 'a');
    EXPECT_EQ(kept, expected_kept);
    EXPECT_TRUE(log.contains("removed " + std::to_string(forged.size()) +
                             " forged Authentication-Results header(s) claiming authserv-id " +
                             std::string(testing::kOurId)));
  }
}

}  // namespace
}  // namespace tessvane
