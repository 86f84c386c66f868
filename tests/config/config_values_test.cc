// The value rules of the configuration keys, each checked through a real file
// holding the one key: what is accepted, and which values fall back to the
// key's default.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "config/config_load.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::load_text;
using testing::LogCapture;
using testing::TempDir;

// The field a key sets, written as text so that one table serves all types.
const std::map<std::string_view, std::function<std::string(const Settings&)>>& field_of() {
  static const std::map<std::string_view, std::function<std::string(const Settings&)>> fields = {
      {"WorkerThreads", [](const Settings& s) { return std::to_string(s.worker_threads); }},
      {"MaxConnections", [](const Settings& s) { return std::to_string(s.max_connections); }},
      {"DnsTimeout", [](const Settings& s) { return std::to_string(s.dns_timeout_ms); }},
      {"DnsRetries", [](const Settings& s) { return std::to_string(s.dns_retries); }},
      {"DnsCacheSize", [](const Settings& s) { return std::to_string(s.dns_cache_size); }},
      {"DnsNegativeTTL", [](const Settings& s) { return std::to_string(s.dns_negative_ttl); }},
      {"MaxHeaders", [](const Settings& s) { return std::to_string(s.max_headers); }},
      {"MaxSignatures", [](const Settings& s) { return std::to_string(s.max_signatures); }},
      {"MaxVoidLookups", [](const Settings& s) { return std::to_string(s.max_void_lookups); }},
      {"MaxEvaluationMs", [](const Settings& s) { return std::to_string(s.max_evaluation_ms); }},
      {"MaxHeaderBytes", [](const Settings& s) { return std::to_string(s.max_header_bytes); }},
      {"MaxBodyBytes", [](const Settings& s) { return std::to_string(s.max_body_bytes); }},
      {"Syslog", [](const Settings& s) { return std::to_string(s.to_syslog); }},
      {"Foreground", [](const Settings& s) { return std::to_string(s.foreground); }},
      {"StripAuthResults", [](const Settings& s) { return std::to_string(s.strip_auth_results); }},
      {"SyslogFacility", [](const Settings& s) { return std::to_string(s.facility); }},
      {"LogLevel", [](const Settings& s) { return std::to_string(s.level); }},
      {"AuthservID", [](const Settings& s) { return s.authserv_id; }},
      {"PidFile", [](const Settings& s) { return s.pid_file; }},
      {"ZmqTopic", [](const Settings& s) { return s.zmq_topic; }},
      {"User", [](const Settings& s) { return s.user.value_or("(none)"); }},
      {"ZmqEndpoint", [](const Settings& s) { return s.zmq_endpoint.value_or("(none)"); }},
      {"WhitelistFile", [](const Settings& s) { return s.whitelist_file.value_or("(none)"); }},
      {"TrustedRelaysFile",
       [](const Settings& s) { return s.trusted_relays_file.value_or("(none)"); }},
  };
  return fields;
}

struct ValueCase {
  std::string_view key;
  std::string_view value;
  std::string_view expected;
};

TEST(ConfigValues, EachKeyReadsItsValueOrKeepsItsDefault) {
  const ValueCase cases[] = {
      // Unsigned integers.
      {"WorkerThreads", "8", "8"},
      {"WorkerThreads", "+8", "8"},
      {"WorkerThreads", "-3", "0"},
      {"WorkerThreads", "4x", "0"},
      {"WorkerThreads", "-0", "0"},
      {"WorkerThreads", "4294967295", "4294967295"},
      {"WorkerThreads", "4294967296", "0"},
      {"MaxConnections", "1_000", "1000"},
      {"MaxConnections", "-0", "0"},
      {"MaxConnections", "_1000", "256"},
      {"MaxConnections", "1000_", "256"},
      {"MaxConnections", "1__000", "256"},
      {"MaxConnections", "", "256"},
      {"MaxConnections", "1 000", "256"},
      {"DnsRetries", "255", "255"},
      {"DnsRetries", "256", "2"},
      {"DnsCacheSize", "0", "0"},
      {"DnsCacheSize", "ten", "1000"},
      {"DnsNegativeTTL", "300", "300"},
      {"MaxHeaders", "18446744073709551615", "18446744073709551615"},
      {"MaxHeaders", "18446744073709551616", "500"},
      {"MaxSignatures", "0x10", "20"},
      {"MaxVoidLookups", "+5", "5"},
      // DnsTimeout is seconds, kept as 32-bit milliseconds. 0, and any value
      // whose milliseconds do not fit 32 bits, is unusable and gives 5 s.
      {"DnsTimeout", "10", "10000"},
      {"DnsTimeout", "4294967", "4294967000"},
      {"DnsTimeout", "4294968", "5000"},
      {"DnsTimeout", "0", "5000"},
      {"DnsTimeout", "-0", "5000"},
      {"DnsTimeout", "2.5", "5000"},
      // The signed time budget.
      {"MaxEvaluationMs", "-5", "-5"},
      {"MaxEvaluationMs", "+7_000", "7000"},
      {"MaxEvaluationMs", "-9223372036854775808", "-9223372036854775808"},
      {"MaxEvaluationMs", "9223372036854775807", "9223372036854775807"},
      {"MaxEvaluationMs", "9223372036854775808", "20000"},
      {"MaxEvaluationMs", "--5", "20000"},
      {"MaxEvaluationMs", "", "20000"},
      // Sizes.
      {"MaxHeaderBytes", "1M", "1048576"},
      {"MaxHeaderBytes", "5b", "5"},
      {"MaxHeaderBytes", "5", "5"},
      {"MaxHeaderBytes", "2k", "2048"},
      {"MaxHeaderBytes", "2KB", "2048"},
      {"MaxHeaderBytes", "3g", "3221225472"},
      {"MaxHeaderBytes", "7 K", "7168"},
      {"MaxHeaderBytes", "+1_0 kb", "10240"},
      {"MaxHeaderBytes", "17179869183G", "18446744072635809792"},
      {"MaxHeaderBytes", "17179869184G", "1048576"},
      {"MaxHeaderBytes", "18446744073709551616", "1048576"},
      {"MaxHeaderBytes", "512KiB", "1048576"},
      {"MaxHeaderBytes", "1T", "1048576"},
      {"MaxHeaderBytes", "K", "1048576"},
      {"MaxHeaderBytes", "KB", "1048576"},
      {"MaxHeaderBytes", "b", "1048576"},
      {"MaxHeaderBytes", "1MM", "1048576"},
      {"MaxHeaderBytes", "", "1048576"},
      {"MaxBodyBytes", "10M", "10485760"},
      {"MaxBodyBytes", "10 MB", "10485760"},
      {"MaxBodyBytes", "10mb", "10485760"},
      {"MaxBodyBytes", "10485760", "10485760"},
      {"MaxBodyBytes", "0K", "0"},
      // Booleans.
      {"Syslog", "YES", "1"},
      {"Syslog", "on", "1"},
      {"Syslog", "no", "0"},
      {"Syslog", "False", "0"},
      {"Syslog", "0", "0"},
      {"Syslog", "", "1"},
      {"Foreground", "on", "0"},
      {"Foreground", "TRUE", "1"},
      {"Foreground", "1", "1"},
      {"Foreground", "yes please", "0"},
      {"StripAuthResults", "Yes", "1"},
      {"StripAuthResults", "2", "0"},
      // Facility and level names.
      {"SyslogFacility", "mail", "2"},
      {"SyslogFacility", "DAEMON", "3"},
      {"SyslogFacility", "auth", "4"},
      {"SyslogFacility", "local0", "16"},
      {"SyslogFacility", "Local7", "23"},
      {"SyslogFacility", "local9", "2"},
      {"SyslogFacility", "user", "2"},
      {"LogLevel", "err", "3"},
      {"LogLevel", "ERROR", "3"},
      {"LogLevel", "warn", "4"},
      {"LogLevel", "Warning", "4"},
      {"LogLevel", "info", "6"},
      {"LogLevel", "debug", "7"},
      {"LogLevel", "notice", "6"},
      // Strings are taken as written, even empty; only absence gives the default.
      {"AuthservID", "", ""},
      {"AuthservID", "mx1.example.org", "mx1.example.org"},
      {"PidFile", "", ""},
      {"ZmqTopic", "a b\tc", "a b\tc"},
      {"User", "mailnull:mail", "mailnull:mail"},
      {"User", "", ""},
      {"ZmqEndpoint", "", ""},
      {"ZmqEndpoint", "ipc:///tmp/x", "ipc:///tmp/x"},
      {"WhitelistFile", "wl.txt", "wl.txt"},
      {"TrustedRelaysFile", "", ""},
  };
  TempDir dir;
  LogCapture log;
  for (const auto& c : cases) {
    const auto loaded = load_text(dir, std::string(c.key) + " = " + std::string(c.value) + "\n");
    ASSERT_TRUE(loaded.has_value()) << c.key << "=" << c.value;
    EXPECT_EQ(field_of().at(c.key)(*loaded), c.expected) << c.key << " = " << c.value;
  }
  EXPECT_TRUE(log.take_texts().empty());
}

TEST(ConfigValues, AbsentKeysKeepTheirDefaults) {
  TempDir dir;
  const auto loaded = load_text(dir, "");
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(field_of().at("User")(*loaded), "(none)");
  EXPECT_EQ(field_of().at("ZmqEndpoint")(*loaded), "(none)");
  EXPECT_EQ(field_of().at("WhitelistFile")(*loaded), "(none)");
  EXPECT_EQ(field_of().at("TrustedRelaysFile")(*loaded), "(none)");
}

struct NameserverCase {
  std::string_view line;
  std::vector<std::string> expected;
};

TEST(ConfigValues, NameserversAreCommaSeparatedWithEmptyPiecesDropped) {
  const NameserverCase cases[] = {
      {"", {"127.0.0.1"}},
      {"DnsNameserver = 127.0.0.1, ,::1\n", {"127.0.0.1", "::1"}},
      {"DnsNameserver = 192.0.2.1\n", {"192.0.2.1"}},
      {"DnsNameserver = \t a ,b\t,, c \n", {"a", "b", "c"}},
      {"DnsNameserver =\n", {}},
      {"DnsNameserver = , ,\n", {}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const auto loaded = load_text(dir, c.line);
    ASSERT_TRUE(loaded.has_value()) << c.line;
    EXPECT_EQ(loaded->nameservers, c.expected) << c.line;
  }
}

}  // namespace
}  // namespace tessvane
