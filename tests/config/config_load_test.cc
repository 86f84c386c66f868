// Loading the configuration file: reading, the line grammar, key validation
// with its messages, listener sections, and a complete file.

#include "config/config_load.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::load_text;
using testing::LogCapture;
using testing::StderrCapture;
using testing::TempDir;

constexpr std::size_t kMiB = 1048576;

// A file of exactly size bytes that sets AuthservID and pads with comments.
std::string file_of_size(std::size_t size) {
  std::string content = "AuthservID = big\n";
  const std::string comment = "# " + std::string(77, 'p') + "\n";
  while (content.size() + comment.size() <= size) content += comment;
  content += std::string(size - content.size(), '\n');
  return content;
}

TEST(LoadSettings, EmptyFileGivesEveryDefault) {
  TempDir dir;
  LogCapture log;
  const auto loaded = load_text(dir, "");
  ASSERT_TRUE(loaded.has_value());
  const Settings& s = *loaded;
  EXPECT_EQ(s.config_path, dir.file("tessvane.conf"));
  EXPECT_EQ(s.authserv_id, "localhost");
  EXPECT_EQ(s.worker_threads, 0u);
  EXPECT_EQ(s.max_connections, 256u);
  EXPECT_EQ(s.pid_file, "/var/run/tessvane/tessvane.pid");
  EXPECT_FALSE(s.user.has_value());
  EXPECT_FALSE(s.umask.has_value());
  EXPECT_FALSE(s.foreground);
  EXPECT_EQ(s.listeners, (std::vector<ListenerSpec>{{"127.0.0.1", 8890, false}}));
  EXPECT_EQ(s.nameservers, (std::vector<std::string>{"127.0.0.1"}));
  EXPECT_EQ(s.dns_port, 53);
  EXPECT_EQ(s.dns_timeout_ms, 5000u);
  EXPECT_EQ(s.dns_retries, 2);
  EXPECT_EQ(s.dns_cache_size, 1000u);
  EXPECT_EQ(s.dns_negative_ttl, 60u);
  EXPECT_EQ(s.max_headers, 500u);
  EXPECT_EQ(s.max_header_bytes, 1048576u);
  EXPECT_EQ(s.max_body_bytes, 10485760u);
  EXPECT_EQ(s.max_signatures, 20u);
  EXPECT_EQ(s.max_void_lookups, 2u);
  EXPECT_EQ(s.max_evaluation_ms, 20000);
  EXPECT_FALSE(s.strip_auth_results);
  EXPECT_FALSE(s.milter_one_round_trip);
  EXPECT_FALSE(s.zmq_endpoint.has_value());
  EXPECT_EQ(s.zmq_topic, "spf.result");
  EXPECT_FALSE(s.whitelist_file.has_value());
  EXPECT_FALSE(s.trusted_relays_file.has_value());
  EXPECT_TRUE(s.to_syslog);
  EXPECT_EQ(s.facility, 2);
  EXPECT_EQ(s.level, 6);
  EXPECT_EQ(s.auth_methods, (std::vector<std::string>{"spf"}));
  EXPECT_TRUE(log.take_texts().empty());
}

TEST(LoadSettings, ReadsEveryKeyOfACompleteFile) {
  TempDir dir;
  const auto loaded = load_text(dir,
                                "# tessvane configuration\n"
                                "[global]\n"
                                "AuthservID = mx.example.org\n"
                                "WorkerThreads = 3\n"
                                "MaxConnections = 1_000\n"
                                "PidFile = /run/tv.pid\n"
                                "User = mailnull:mail\n"
                                "UMask = 027\n"
                                "Foreground = yes\n"
                                "DnsNameserver = 192.0.2.53, 2001:db8::53\n"
                                "DnsTimeout = 3\n"
                                "DnsRetries = 4\n"
                                "DnsCacheSize = 5000\n"
                                "DnsNegativeTTL = 30\n"
                                "MaxHeaders = 200\n"
                                "MaxHeaderBytes = 64K\n"
                                "MaxBodyBytes = 20M\n"
                                "MaxSignatures = 7\n"
                                "MaxVoidLookups = 3\n"
                                "MaxEvaluationMs = 15000\n"
                                "StripAuthResults = true\n"
                                "MilterOneRoundTrip = yes\n"
                                "ZmqEndpoint = tcp://127.0.0.1:5556\n"
                                "ZmqTopic = verdicts\n"
                                "WhitelistFile = /etc/tessvane/whitelist\n"
                                "TrustedRelaysFile = /etc/tessvane/relays\n"
                                "Syslog = no\n"
                                "SyslogFacility = local3\n"
                                "LogLevel = debug\n"
                                "\n"
                                "[listener:tcp]\n"
                                "Socket = inet:8891@127.0.0.1\n"
                                "[listener:local]\n"
                                "Socket = unix:/var/run/tessvane/milter.sock\n");
  ASSERT_TRUE(loaded.has_value()) << error_name(loaded.error());
  const Settings& s = *loaded;
  EXPECT_EQ(s.authserv_id, "mx.example.org");
  EXPECT_EQ(s.worker_threads, 3u);
  EXPECT_EQ(s.max_connections, 1000u);
  EXPECT_EQ(s.pid_file, "/run/tv.pid");
  EXPECT_EQ(s.user, "mailnull:mail");
  EXPECT_EQ(s.umask, 027);
  EXPECT_TRUE(s.foreground);
  EXPECT_EQ(s.nameservers, (std::vector<std::string>{"192.0.2.53", "2001:db8::53"}));
  EXPECT_EQ(s.dns_timeout_ms, 3000u);
  EXPECT_EQ(s.dns_retries, 4);
  EXPECT_EQ(s.dns_cache_size, 5000u);
  EXPECT_EQ(s.dns_negative_ttl, 30u);
  EXPECT_EQ(s.max_headers, 200u);
  EXPECT_EQ(s.max_header_bytes, 65536u);
  EXPECT_EQ(s.max_body_bytes, 20971520u);
  EXPECT_EQ(s.max_signatures, 7u);
  EXPECT_EQ(s.max_void_lookups, 3u);
  EXPECT_EQ(s.max_evaluation_ms, 15000);
  EXPECT_TRUE(s.strip_auth_results);
  EXPECT_TRUE(s.milter_one_round_trip);
  EXPECT_EQ(s.zmq_endpoint, "tcp://127.0.0.1:5556");
  EXPECT_EQ(s.zmq_topic, "verdicts");
  EXPECT_EQ(s.whitelist_file, "/etc/tessvane/whitelist");
  EXPECT_EQ(s.trusted_relays_file, "/etc/tessvane/relays");
  EXPECT_FALSE(s.to_syslog);
  EXPECT_EQ(s.facility, 19);
  EXPECT_EQ(s.level, 7);
  EXPECT_EQ(s.listeners, (std::vector<ListenerSpec>{
                             {"127.0.0.1", 8891, false},
                             {"/var/run/tessvane/milter.sock", 0, true},
                         }));
}

struct GrammarCase {
  std::string_view what;
  std::string_view content;
  std::string_view authserv_id;
  std::string_view zmq_topic;
};

TEST(LoadSettings, LineGrammar) {
  const GrammarCase cases[] = {
      {"keys above any header are global", "AuthservID = a\n[other]\nZmqTopic = t\n", "a",
       "spf.result"},
      {"repeated [global] merges", "[global]\nAuthservID = a\n[x]\n[global]\nZmqTopic = t\n", "a",
       "t"},
      {"a repeated key keeps the last value", "AuthservID = a\nAuthservID = b\n", "b",
       "spf.result"},
      {"# after a value belongs to it", "ZmqTopic = spf.result # note\n", "localhost",
       "spf.result # note"},
      {"whole-line comments", "# AuthservID = a\n; AuthservID = b\n   # ZmqTopic = c\n",
       "localhost", "spf.result"},
      {"a line without = is ignored", "just some text\nAuthservID = a\n", "a", "spf.result"},
      {"CRLF lines", "[global]\r\nAuthservID = a\r\nZmqTopic=t\r\n", "a", "t"},
      {"no final line feed", "AuthservID = a", "a", "spf.result"},
      {"surrounding whitespace of name, key and value", "[ \tglobal \v]\n\fAuthservID\t=\t a \n",
       "a", "spf.result"},
      {"text after ] is ignored",
       "[other] AuthservID = x\nAuthservID = a\n[global] tail\n"
       "ZmqTopic = t\n",
       "localhost", "t"},
      {"a header without ] is skipped", "[other\nAuthservID = a\n", "a", "spf.result"},
      {"an empty section name is skipped", "[other]\n[ ]\nAuthservID = a\n", "localhost",
       "spf.result"},
      {"an empty key is skipped", " = a\nAuthservID = b\n", "b", "spf.result"},
      {"the value runs to the end of the line", "ZmqTopic = a = b ; c\n", "localhost", "a = b ; c"},
      {"an empty value is an empty string", "AuthservID =\nZmqTopic = \n", "", ""},
      {"Global is not global", "[Global]\nAuthservID = a\n", "localhost", "spf.result"},
      {"[global] again after a listener section",
       "[listener:a]\nSocket = 1\n[global]\n"
       "AuthservID = a\n",
       "a", "spf.result"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const auto loaded = load_text(dir, c.content);
    ASSERT_TRUE(loaded.has_value()) << c.what << ": " << error_name(loaded.error());
    EXPECT_EQ(loaded->authserv_id, c.authserv_id) << c.what;
    EXPECT_EQ(loaded->zmq_topic, c.zmq_topic) << c.what;
  }
}

struct KeyErrorCase {
  std::string_view content;
  std::string_view message;
};

TEST(LoadSettings, RefusesMisplacedAndUnknownKeysOnLogAndStandardError) {
  const KeyErrorCase cases[] = {
      {"Bogus = 1\n", "config: [global] unrecognized key \"Bogus\" (typo?); refusing to start"},
      {"maxheaders = 5\n",
       "config: [global] unrecognized key \"maxheaders\" (typo?); refusing to start"},
      {"Socket = 8890\n",
       "config: [global] unrecognized key \"Socket\" (typo?); refusing to start"},
      {"[other]\nSocket = 8890\n",
       "config: [other] unrecognized key \"Socket\" (typo?); refusing to start"},
      {"[listener:a]\nSocket = 8890\nMaxConnections = 5\n",
       "config: [listener:a] key \"MaxConnections\" is a global key with no effect here; move "
       "it to [global]. Refusing to start"},
      {"[listener:a]\nSocket = 8890\nMilterOneRoundTrip = yes\n",
       "config: [listener:a] key \"MilterOneRoundTrip\" is a global key with no effect here; "
       "move it to [global]. Refusing to start"},
      {"[listener:a]\nPort = 25\n",
       "config: [listener:a] unrecognized key \"Port\" (typo?); refusing to start"},
      // Only the first failure is reported.
      {"First = 1\nSecond = 2\n",
       "config: [global] unrecognized key \"First\" (typo?); refusing to start"},
      // [global] exists before the first line, so it is visited first.
      {"[a]\nX = 1\n[global]\nY = 2\n",
       "config: [global] unrecognized key \"Y\" (typo?); refusing to start"},
      // Keys are checked before any value: a bad UMask is not reached.
      {"UMask = 9\n[listener:a]\nSocket = 1\nBad = 1\n",
       "config: [listener:a] unrecognized key \"Bad\" (typo?); refusing to start"},
      // Written as they stand.
      {"[weird name]\nBad Key = 1\n",
       "config: [weird name] unrecognized key \"Bad Key\" (typo?); refusing to start"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    LogCapture log;
    StderrCapture err;
    const auto loaded = load_text(dir, c.content);
    const std::string written = err.take();
    EXPECT_EQ(loaded, fail(ErrorCode::InvalidConfiguration)) << c.content;
    EXPECT_EQ(written, std::string(c.message) + "\n") << c.content;
    EXPECT_EQ(log.take_texts(), std::vector<std::string>{std::string(c.message)}) << c.content;
  }
}

TEST(LoadSettings, AcceptedKeysOfOtherSectionsAreIgnored) {
  TempDir dir;
  LogCapture log;
  const auto loaded = load_text(dir, "[tuning]\nMaxHeaders = 9\nUMask = bad\n");
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->max_headers, 500u);
  EXPECT_FALSE(loaded->umask.has_value());
  EXPECT_TRUE(log.take_texts().empty());
}

// A nonexistent path of exactly length bytes under dir, made of "./" steps so
// that no single name exceeds the system's name limit.
std::string long_path(const TempDir& dir, std::size_t length) {
  std::string path = dir.path() + "/";
  while (path.size() + 2 < length - 8) path += "./";
  path += std::string(length - path.size(), 'n');
  return path;
}

struct ReadFailureCase {
  std::string what;
  std::string path;
  ErrorCode error;
};

TEST(LoadSettings, ReportsWhyTheFileCouldNotBeRead) {
  TempDir dir;
  const std::string too_big = dir.write("big.conf", file_of_size(kMiB + 1));
  std::vector<ReadFailureCase> cases = {
      {"missing", dir.file("absent.conf"), ErrorCode::FileNotFound},
      {"a directory", dir.path(), ErrorCode::IsDir},
      {"1 MiB and one byte", too_big, ErrorCode::FileTooBig},
      {"1024-byte path", long_path(dir, 1024), ErrorCode::NameTooLong},
      {"1023-byte path", long_path(dir, 1023), ErrorCode::FileNotFound},
      {"empty path", "", ErrorCode::FileNotFound},
  };
  if (geteuid() != 0) {  // root reads any file
    const std::string locked = dir.write("locked.conf", "");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    cases.push_back({"unreadable", locked, ErrorCode::AccessDenied});
  }
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_EQ(load_settings(c.path), fail(c.error)) << c.what;
    const std::string expected =
        "failed to load config " + c.path + ": error." + std::string(error_name(c.error));
    const auto lines = log.take_lines();
    ASSERT_EQ(lines.size(), 1u) << c.what;
    const std::string text = lines[0].substr(lines[0].find("]: ") + 3);
    // A line longer than the logger's 1024 bytes arrives cut.
    EXPECT_EQ(text, lines[0].size() < kLogLineMax ? expected : expected.substr(0, text.size()))
        << c.what;
  }
}

TEST(LoadSettings, LoadsAFileOfExactlyOneMebibyte) {
  TempDir dir;
  const std::string content = file_of_size(kMiB);
  ASSERT_EQ(content.size(), kMiB);
  const auto loaded = load_text(dir, content);
  ASSERT_TRUE(loaded.has_value()) << error_name(loaded.error());
  EXPECT_EQ(loaded->authserv_id, "big");
}

struct UmaskCase {
  std::string_view value;
  Result<std::uint16_t> expected;
};

TEST(LoadSettings, UmaskIsOctalOrStopsLoadingSilently) {
  const UmaskCase cases[] = {
      {"027", 027},
      {"0", 0},
      {"+0_22", 022},
      {"177777", 0177777},
      {"", fail(ErrorCode::InvalidMode)},
      {"8", fail(ErrorCode::InvalidMode)},
      {"0x1f", fail(ErrorCode::InvalidMode)},
      {"200000", fail(ErrorCode::InvalidMode)},
      {"u=rwx", fail(ErrorCode::InvalidMode)},
  };
  TempDir dir;
  for (const auto& c : cases) {
    LogCapture log;
    const auto loaded = load_text(dir, "UMask = " + std::string(c.value) + "\n");
    if (c.expected) {
      ASSERT_TRUE(loaded.has_value()) << c.value;
      EXPECT_EQ(loaded->umask, *c.expected) << c.value;
    } else {
      EXPECT_EQ(loaded, fail(c.expected.error())) << c.value;
    }
    EXPECT_TRUE(log.take_texts().empty()) << c.value;
  }
}

TEST(LoadSettings, UmaskFailsBeforeTheListeners) {
  TempDir dir;
  LogCapture log;
  EXPECT_EQ(load_text(dir, "UMask = 9\n[listener:a]\n"), fail(ErrorCode::InvalidMode));
  EXPECT_TRUE(log.take_texts().empty());
}

}  // namespace
}  // namespace tessvane
