// Every header shape this system writes, read back by an independent RFC 8601
// parser (python3-authres, through tests/tools/check_authres.py).

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "authres_checker.h"
#include "policy/auth_results.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

struct HeaderCase {
  std::string_view authserv_id;
  std::string_view result;
  std::string_view comment;
  std::string_view mail_from;
  std::string_view helo;
  std::optional<std::string_view> client_ip;
};

const HeaderCase kHeaders[] = {
    {"localhost", "pass", "", "example.org", "mx.example.org", "192.0.2.1"},
    {"mail.example.net", "fail", "", "example.org", "mx.example.org", "198.51.100.7"},
    {"mail.example.net", "softfail", "", "example.org", "mx.example.org", "2001:db8::25"},
    {"localhost", "neutral", "", "sub.example.org", "helo.example.org", "203.0.113.9"},
    {"localhost", "none", "trusted relay; not evaluated", "example.org", "relay.example.org",
     "192.0.2.10"},
    {"localhost", "pass", "client is whitelisted", "example.org", "mx", "::ffff:192.0.2.1"},
    {"localhost", "temperror", "", "example.org", "mx.example.org", "192.0.2.1"},
    {"localhost", "permerror", "client IP address missing or malformed", "example.org", "unknown",
     std::nullopt},
    {"localhost", "none", "no client IP: local submission", "", "unknown", std::nullopt},
    {"localhost", "none", "", "example.org", "my helo with spaces", std::nullopt},
    {"localhost", "fail", "a (nested (comment)) with \\ and \"", "example.org", "mx",
     "2001:db8:1234:5678:9abc:def0:1234:5678"},
    {"a-rather-long-authserv-id-for-the-folding.mail.example.net", "pass", "", "example.org",
     "mx.example.org", "192.0.2.1"},
};

// What check_authres.py prints for a header it parsed: authres gives the
// authserv-id in lower case, drops comments and unquotes values.
std::string expected_line(const HeaderCase& c) {
  std::string line = "ok\t" + std::string(c.authserv_id) + "\tspf=" + std::string(c.result);
  if (c.client_ip) line += "\tsmtp.client-ip=" + std::string(*c.client_ip);
  line += "\tsmtp.mailfrom=" + std::string(c.mail_from);
  line += "\tsmtp.helo=" + std::string(c.helo);
  return line;
}

// The header as the MTA writes it into the message: name, ": ", the value
// with the milter's LF line breaks.
std::string header_field(const HeaderCase& c) {
  const std::string value = authentication_results_value(c.authserv_id, c.result, c.comment,
                                                         c.mail_from, c.helo, c.client_ip);
  const Result<std::string> reply = insheader_reply(value);
  EXPECT_TRUE(reply.has_value());
  if (!reply) return {};
  const std::string_view body = *reply;
  const std::size_t name_start = 5;  // 'i' and the index
  const std::size_t name_end = body.find('\0', name_start);
  return std::string(body.substr(name_start, name_end - name_start)) + ": " +
         std::string(body.substr(name_end + 1, body.size() - name_end - 2));
}

TEST(AuthResultsRfc8601, IndependentParserReadsEveryShape) {
  testing::TempDir dir;
  std::string block;
  for (const HeaderCase& c : kHeaders) block += header_field(c) + "\n";
  // A broken header last, to show the checker does reject what it cannot parse.
  block += "Authentication-Results: localhost;\n\tspf=pass (unterminated comment\n";
  const std::vector<std::string> lines = testing::run_authres_checker(dir.write("headers", block));

  const std::size_t count = std::size(kHeaders);
  ASSERT_EQ(lines.size(), count + 1) << block;
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_EQ(lines[i], expected_line(kHeaders[i])) << header_field(kHeaders[i]);
  }
  EXPECT_TRUE(lines[count].starts_with("error\t")) << lines[count];
}

}  // namespace
}  // namespace tessvane
