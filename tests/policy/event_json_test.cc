#include "policy/event_json.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tessvane {
namespace {

using namespace std::string_view_literals;

std::string escaped(std::string_view value) {
  std::string out;
  append_json_escaped(out, value);
  EXPECT_EQ(out.size(), json_escaped_size(value)) << value;
  return out;
}

TEST(EventJson, EscapesEveryByteClass) {
  const struct {
    std::string_view raw;
    std::string_view written;
  } cases[] = {
      {"\x08", "\\b"},
      {"\t", "\\t"},
      {"\n", "\\n"},
      {"\f", "\\f"},
      {"\r", "\\r"},
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\0"sv, "\\u0000"},
      {"\x01", "\\u0001"},
      {"\x0B", "\\u000b"},
      {"\x1A", "\\u001a"},
      {"\x1F", "\\u001f"},
      {" ", " "},
      {"/", "/"},  // JSON allows it bare
      {"azAZ09.-@_:[]{}'", "azAZ09.-@_:[]{}'"},
      {"\x7F", "\x7F"},
      {"\x80\xC3\xA9\xFF", "\x80\xC3\xA9\xFF"},  // no UTF-8 check
      {"", ""},
      {"mx \"one\"\tx\x01", "mx \\\"one\\\"\\tx\\u0001"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escaped(c.raw), c.written);
  }
}

TEST(EventJson, EveryByteValueIsWrittenByTheTable) {
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    const std::string out = escaped(std::string_view(&byte, 1));
    if (value < 0x20 || byte == '"' || byte == '\\') {
      EXPECT_EQ(out.front(), '\\') << value;
    } else {
      EXPECT_EQ(out, std::string(1, byte)) << value;
    }
  }
}

TEST(EventJson, ObjectHasTheFiveKeysInOrder) {
  EXPECT_EQ(event_json("192.0.2.1", "mx.example.org", "user@example.org", "pass", "example.org"),
            R"({"client_ip":"192.0.2.1","helo":"mx.example.org","mail_from":"user@example.org",)"
            R"("result":"pass","domain":"example.org"})");
  EXPECT_EQ(event_json("", "h\"\t", "", "none", "d\\"),
            R"({"client_ip":"","helo":"h\"\t","mail_from":"","result":"none","domain":"d\\"})");
}

}  // namespace
}  // namespace tessvane
