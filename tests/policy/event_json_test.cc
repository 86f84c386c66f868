#include "policy/event_json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

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
    if (value >= 0x80) {
      EXPECT_EQ(out, "\\ufffd") << value << ": alone, no byte above 0x7F is UTF-8";
    } else if (value < 0x20 || byte == '"' || byte == '\\') {
      EXPECT_EQ(out.front(), '\\') << value;
    } else {
      EXPECT_EQ(out, std::string(1, byte)) << value;
    }
  }
}

// Well-formed UTF-8 passes unchanged; each byte of anything else becomes the
// escaped replacement character, so the event is always valid UTF-8.
TEST(EventJson, KeepsUtf8AndReplacesWhatIsNot) {
  const struct {
    std::string_view raw;
    std::string_view written;
  } cases[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9"},                     // U+00E9
      {"\xC2\x80 \xDF\xBF", "\xC2\x80 \xDF\xBF"},        // the two-byte range
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},                  // U+20AC
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},          // U+1F600
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},          // U+10FFFF, the last
      {"\x80", "\\ufffd"},                                // a lone continuation byte
      {"\xC3", "\\ufffd"},                                // cut short at the end
      {"\xC3(", "\\ufffd("},                              // ... or by an ASCII byte
      {"\xE2\x82", "\\ufffd\\ufffd"},
      {"\xC0\xAF", "\\ufffd\\ufffd"},                    // overlong '/'
      {"\xE0\x9F\xBF", "\\ufffd\\ufffd\\ufffd"},        // overlong three bytes
      {"\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},        // a surrogate
      {"\xF4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // above U+10FFFF
      {"\xF5\xFE\xFF", "\\ufffd\\ufffd\\ufffd"},
      {"a\xFF\xC3\xA9\"", "a\\ufffd\xC3\xA9\\\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escaped(c.raw), c.written) << c.raw;
  }
}

// Python's strict UTF-8 decoder and JSON parser accept the event built from
// every byte pair and from every byte after each lead byte of a longer
// sequence, and read back what valid UTF-8 there was.
TEST(EventJson, EveryEventIsValidUtf8JsonForAnIndependentParser) {
  std::string lines;
  std::size_t count = 0;
  const auto add = [&](std::string_view helo) {
    lines += event_json("192.0.2.1", helo, "", "pass", "example.org") + "\n";
    ++count;
  };
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const char pair[] = {static_cast<char>(first), static_cast<char>(second)};
      add(std::string_view(pair, 2));
    }
  }
  for (const int lead : {0xE0, 0xED, 0xEF, 0xF0, 0xF4}) {
    for (int next = 0x80; next < 0x100; ++next) {
      const char bytes[] = {static_cast<char>(lead), static_cast<char>(next), '\x80', '\x80'};
      add(std::string_view(bytes, 4));
    }
  }
  testing::TempDir dir;
  const std::string path = dir.write("events", lines);
  const std::string script =
      "import json,sys\n"
      "n=0\n"
      "for line in open(sys.argv[1],'rb'):\n"
      "  event=json.loads(line.decode('utf-8','strict'))\n"
      "  assert set(event)=={'client_ip','helo','mail_from','result','domain'}\n"
      "  n+=1\n"
      "print(n)\n";
  const std::string script_path = dir.write("check.py", script);
  const std::string command =
      std::string("'") + TESSVANE_PYTHON + "' '" + script_path + "' '" + path + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_EQ(output, std::to_string(count) + "\n");
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
