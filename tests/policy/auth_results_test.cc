#include "policy/auth_results.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/byte_reader.h"
#include "milter/connection.h"

namespace tessvane {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

std::string property_value(std::string_view value) {
  std::string out;
  append_property_value(out, value);
  return out;
}

std::string comment_text(std::string_view comment) {
  std::string out;
  append_comment_text(out, comment);
  return out;
}

TEST(AuthResultsValue, BareOnlyForLettersDigitsAndFewMarks) {
  const struct {
    std::string_view value;
    std::string_view written;
  } cases[] = {
      {"example.org", "example.org"},
      {"user_name-1@sub.Example.ORG", "user_name-1@sub.Example.ORG"},
      {"192.0.2.1", "192.0.2.1"},
      {"", "\"\""},
      {"2001:db8::1", "\"2001:db8::1\""},
      {"my helo", "\"my helo\""},
      {"a+b", "\"a+b\""},
      {"a;b", "\"a;b\""},
      {"(x)", "\"(x)\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"x\ty\x7Fz\x01", "\"x?y?z?\""},
      {"\0"sv, "\"?\""},
      {"caf\xC3\xA9", "\"caf\?\?\""},  // no 8-bit bytes in a header field
      {"\x80\xFF-x", "\"\?\?-x\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(property_value(c.value), c.written) << c.value;
  }
}

TEST(AuthResultsValue, CommentEscapesParenthesesAndBackslash) {
  EXPECT_EQ(comment_text("client is whitelisted"), "client is whitelisted");
  EXPECT_EQ(comment_text("a (b) c\\d"), "a \\(b\\) c\\\\d");
  EXPECT_EQ(comment_text("tab\there\r\n\x7F\0"s), "tab?here????");
  EXPECT_EQ(comment_text("\"quoted\" \xC3\xA9\xFF~"), "\"quoted\" \?\?\?~");
}

struct LayoutCase {
  std::string_view name;
  std::string_view authserv_id;
  std::string_view result;
  std::string_view comment;
  std::string_view mail_from;
  std::string_view helo;
  std::optional<std::string_view> client_ip;
  std::string_view folded;
};

// Columns: the value starts at 24 and every fold opens a line at column 1.
const LayoutCase kLayouts[] = {
    {"third property moves to the next line whole", "localhost", "pass", "", "example.org",
     "mx.example.org", "192.0.2.1",
     "localhost;\r\n\tspf=pass smtp.client-ip=192.0.2.1 smtp.mailfrom=example.org\r\n\t"
     "smtp.helo=mx.example.org"},
    {"comment without client address", "localhost", "none", "no client IP: local submission",
     "example.org", "mx", std::nullopt,
     "localhost;\r\n\tspf=none (no client IP: local submission) smtp.mailfrom=example.org\r\n\t"
     "smtp.helo=mx"},
    {"IPv6 client and empty mail-from quoted", "localhost", "permerror", "", "", "mx",
     "2001:db8::1",
     "localhost;\r\n\tspf=permerror smtp.client-ip=\"2001:db8::1\" smtp.mailfrom=\"\" "
     "smtp.helo=mx"},
    {"quoted value with spaces stays on one line", "localhost", "neutral", "", "example.org",
     "my helo name with spaces", "192.0.2.1",
     "localhost;\r\n\tspf=neutral smtp.client-ip=192.0.2.1 smtp.mailfrom=example.org\r\n\t"
     "smtp.helo=\"my helo name with spaces\""},
    {"escaped parentheses and TAB in the comment", "localhost", "fail", "a (b) c\td", "example.org",
     "mx", std::nullopt,
     "localhost;\r\n\tspf=fail (a \\(b\\) c?d) smtp.mailfrom=example.org smtp.helo=mx"},
    {"comment longer than a line gets a line of its own", "localhost", "temperror",
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
     "example.org", "mx", std::nullopt,
     "localhost;\r\n\tspf=temperror\r\n\t"
     "(xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx)\r\n\t"
     "smtp.mailfrom=example.org smtp.helo=mx"},
    {"authserv-id of 54 bytes fits the first line",
     "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "pass", "", "example.org", "mx",
     std::nullopt,
     "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa;\r\n\t"
     "spf=pass smtp.mailfrom=example.org smtp.helo=mx"},
    {"authserv-id of 55 bytes starts on a new line",
     "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "pass", "", "example.org", "mx",
     std::nullopt,
     "\r\n\taaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa;\r\n\t"
     "spf=pass smtp.mailfrom=example.org smtp.helo=mx"},
    {"empty authserv-id", "", "pass", "", "a", "b", std::nullopt,
     ";\r\n\tspf=pass smtp.mailfrom=a smtp.helo=b"},
};

TEST(AuthResultsValue, LayoutAndFolding) {
  for (const LayoutCase& c : kLayouts) {
    EXPECT_EQ(authentication_results_value(c.authserv_id, c.result, c.comment, c.mail_from, c.helo,
                                           c.client_ip),
              c.folded)
        << c.name;
  }
}

TEST(AuthResultsValue, LinesStayWithinTheWidthWhenTokensAllow) {
  const std::string value = authentication_results_value(
      "mail.example.net", "softfail", "a comment of some length to fill a line",
      "very-long-sender-domain.example.org", "helo.very-long-sender-domain.example.org",
      "2001:db8:1234:5678:9abc:def0:1234:5678");
  std::size_t line_start = 0;
  std::size_t column = 24;  // "Authentication-Results: "
  std::size_t lines = 0;
  while (line_start <= value.size()) {
    const std::size_t end = std::min(value.find("\r\n\t", line_start), value.size());
    EXPECT_LE(column + end - line_start, 78U) << value;
    ++lines;
    line_start = end + 3;
    column = 1;
  }
  EXPECT_GE(lines, 3U) << value;
}

TEST(AuthResultsReply, StartsWithInsertAtIndexZero) {
  const Result<std::string> reply = insheader_reply("localhost;\r\n\tspf=pass");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, "i\0\0\0\0Authentication-Results\0localhost;\n\tspf=pass\0"s);
}

TEST(AuthResultsReply, OnlyCrLfPairsBecomeLf) {
  const Result<std::string> reply = insheader_reply("a\rb\r\n\tc\n\td\r");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, "i\0\0\0\0Authentication-Results\0a\rb\n\tc\n\td\r\0"s);
}

TEST(AuthResultsReply, RefusesAValueWithANulByte) {
  EXPECT_EQ(insheader_reply("local\0host;\r\n\tspf=pass"s).error(), ErrorCode::InvalidArgument);
}

// The bytes a queued reply adds to the connection's output: the 4-byte
// big-endian body length and the body.
std::string queued_text(const MilterConnection& connection) {
  return std::string(as_text(connection.output.buffer));
}

std::string framed(std::string_view body) {
  std::string out(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) {
    out[i] = static_cast<char>((body.size() >> (8 * (3 - i))) & 0xFF);
  }
  out.append(body);
  return out;
}

TEST(AddAuthenticationResults, QueuesTheInsertHeaderReply) {
  MilterConnection connection(UniqueFd(), HeaderLimits{});
  connection.actions = 0;  // queued whether or not SMFIF_ADDHDRS was granted
  ASSERT_TRUE(add_authentication_results(connection, "localhost", "pass", "client is whitelisted",
                                         "example.org", "mx.example.org", "192.0.2.1"));
  const std::string body =
      "i\0\0\0\0Authentication-Results\0"
      "localhost;\n\tspf=pass (client is whitelisted) smtp.client-ip=192.0.2.1\n\t"
      "smtp.mailfrom=example.org smtp.helo=mx.example.org\0"s;
  EXPECT_EQ(queued_text(connection), framed(body));
  EXPECT_EQ(connection.output.sent, 0U);
}

TEST(AddAuthenticationResults, FullQueueQueuesNothing) {
  MilterConnection connection(UniqueFd(), HeaderLimits{});
  const std::string filler(kOutputQueueBound - 4 - 50, 'c');
  ASSERT_TRUE(queue_reply(connection, as_bytes(filler)));
  const std::size_t before = connection.output.buffer.size();
  EXPECT_EQ(add_authentication_results(connection, "localhost", "pass", "", "example.org", "mx",
                                       std::nullopt)
                .error(),
            ErrorCode::OutputQueueFull);
  EXPECT_EQ(connection.output.buffer.size(), before);
}

TEST(AddAuthenticationResults, NulInTheAuthservIdQueuesNothing) {
  MilterConnection connection(UniqueFd(), HeaderLimits{});
  EXPECT_EQ(add_authentication_results(connection, "local\0host"s, "pass", "", "example.org", "mx",
                                       std::nullopt)
                .error(),
            ErrorCode::InvalidArgument);
  EXPECT_TRUE(connection.output.buffer.empty());
}

}  // namespace
}  // namespace tessvane
