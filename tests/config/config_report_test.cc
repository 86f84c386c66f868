// Loading with a report, as the configuration check does: every bad key is
// collected (not only the first), values that fall back to their defaults
// are named, and nothing is written to standard error meanwhile. Without a
// report loading stops at the first bad key, as start-up always has.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "config/config_load.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::LogCapture;
using testing::StderrCapture;
using testing::TempDir;

struct Reported {
  Result<Settings> loaded;
  LoadReport report;
  std::string stderr_text;
};

Reported load_reported(std::string_view content) {
  TempDir dir;
  LogCapture log;
  StderrCapture err;
  Reported out{fail(ErrorCode::Unexpected), {}, {}};
  out.loaded = load_settings(dir.write("tessvane.conf", content), &out.report);
  out.stderr_text = err.take();
  return out;
}

struct FallbackCase {
  const char* line;
  const char* problem;
};

TEST(LoadReport, NamesEveryValueThatKeepsItsDefault) {
  const std::vector<FallbackCase> cases = {
      {"MaxConnections = 12x", "config: [global] MaxConnections = 12x is malformed; "
                               "MaxConnections keeps its default"},
      {"WorkerThreads = -3", "WorkerThreads = -3 is malformed"},
      {"DnsRetries = 256", "DnsRetries = 256 is malformed"},
      {"MaxEvaluationMs = 1e3", "MaxEvaluationMs = 1e3 is malformed"},
      {"MaxHeaderBytes = 512KiB", "MaxHeaderBytes = 512KiB is malformed"},
      {"Foreground = on", "Foreground = on is malformed"},
      {"DnsTimeout = 0", "DnsTimeout = 0 is malformed"},
      {"LogLevel = notice", "LogLevel = notice is malformed"},
      {"SyslogFacility = local9", "SyslogFacility = local9 is malformed"},
  };
  for (const auto& c : cases) {
    const auto out = load_reported(std::string(c.line) + "\n");
    ASSERT_TRUE(out.loaded.has_value()) << c.line;
    ASSERT_EQ(out.report.problems.size(), 1u) << c.line;
    EXPECT_NE(out.report.problems[0].find(c.problem), std::string::npos)
        << c.line << ": " << out.report.problems[0];
  }
}

TEST(LoadReport, WellFormedValuesAndKnownNamesReportNothing) {
  const auto out = load_reported(
      "MaxConnections = 1_000\nLogLevel = DEBUG\nSyslogFacility = Mail\nLogLevel = Info\n"
      "Foreground = YES\nMaxHeaderBytes = 10 MB\nUMask = 027\nDnsTimeout = 3\n");
  ASSERT_TRUE(out.loaded.has_value());
  EXPECT_TRUE(out.report.problems.empty()) << out.report.problems[0];
  EXPECT_EQ(out.loaded->max_connections, 1000u);
}

TEST(LoadReport, CollectsEveryBadKeyAndStillRefuses) {
  const auto out = load_reported(
      "Bogus = 1\nMaxConnections = x\n[Global]\nUser = nobody\n"
      "[listener:mta]\nSocket = inet:8890@127.0.0.1\nMaxHeaders = 3\nAlso = 2\n");
  EXPECT_EQ(out.loaded, fail(ErrorCode::InvalidConfiguration));
  const std::vector<std::string> expected = {
      "config: [global] unrecognized key \"Bogus\" (typo?); refusing to start",
      "config: [Global] key \"User\" has no effect: only [global] is read",
      "config: [listener:mta] key \"MaxHeaders\" is a global key with no effect here; move it "
      "to [global]. Refusing to start",
      "config: [listener:mta] unrecognized key \"Also\" (typo?); refusing to start",
      "config: [global] MaxConnections = x is malformed; MaxConnections keeps its default",
  };
  EXPECT_EQ(out.report.problems, expected);
  // The collected messages replace the direct writes of start-up.
  EXPECT_EQ(out.stderr_text, "");
  ASSERT_TRUE(out.report.despite_bad_keys.has_value());
  EXPECT_EQ(out.report.despite_bad_keys->listeners.size(), 1u);
}

TEST(LoadReport, BadUMaskIsNamedAndFatal) {
  const auto out = load_reported("UMask = 8\n");
  EXPECT_EQ(out.loaded, fail(ErrorCode::InvalidMode));
  ASSERT_EQ(out.report.problems.size(), 1u);
  EXPECT_NE(out.report.problems[0].find("UMask = 8 is not an octal number"), std::string::npos);
}

TEST(LoadReport, WithoutReportTheFirstBadKeyStopsAndGoesToStandardError) {
  TempDir dir;
  LogCapture log;
  StderrCapture err;
  const auto loaded = load_settings(dir.write("tessvane.conf", "First = 1\nSecond = 2\n"));
  const std::string text = err.take();
  EXPECT_EQ(loaded, fail(ErrorCode::InvalidConfiguration));
  EXPECT_NE(text.find("\"First\""), std::string::npos) << text;
  EXPECT_EQ(text.find("\"Second\""), std::string::npos) << text;
}

}  // namespace
}  // namespace tessvane
