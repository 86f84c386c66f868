#include "log/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/log_capture.h"

namespace tessvane {
namespace {

using testing::LogCapture;

std::string pid_text() {
  return std::to_string(getpid());
}

// Runs fn with standard error redirected into a pipe and returns what it wrote.
template <typename Fn>
std::string capture_stderr(Fn fn) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  fn();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  return out;
}

TEST(Logger, SyslogLineCarriesPriorityIdentAndPid) {
  LogCapture capture;
  logger().set_ident("tessvane");
  logger().facility = 16;  // local0
  log_message(Severity::Err, "first");
  logger().facility = 2;  // mail
  log_message(Severity::Info, "second");
  EXPECT_EQ(capture.take_lines(),
            (std::vector<std::string>{"<131>tessvane[" + pid_text() + "]: first",
                                      "<22>tessvane[" + pid_text() + "]: second"}));
}

TEST(Logger, LevelGatesBySeverity) {
  struct Case {
    std::uint8_t level;
    bool err, warning, info, debug;
  };
  const Case cases[] = {
      {3, true, false, false, false},
      {4, true, true, false, false},
      {6, true, true, true, false},
      {7, true, true, true, true},
  };
  for (const auto& c : cases) {
    LogCapture capture;
    logger().level = c.level;
    EXPECT_EQ(log_enabled(Severity::Err), c.err);
    EXPECT_EQ(log_enabled(Severity::Warning), c.warning);
    EXPECT_EQ(log_enabled(Severity::Info), c.info);
    EXPECT_EQ(log_enabled(Severity::Debug), c.debug);
    log_message(Severity::Err, "e");
    log_message(Severity::Warning, "w");
    log_message(Severity::Info, "i");
    log_message(Severity::Debug, "d");
    const std::size_t expected = c.err + c.warning + c.info + c.debug;
    EXPECT_EQ(capture.take_lines().size(), expected) << "level " << int{c.level};
  }
}

TEST(Logger, ControlBytesBecomeUnderscoresAndHighBytesPass) {
  LogCapture capture;
  log_message(Severity::Info, std::string_view("a\nb\tc\x7f"
                                               "d\x80\xff\0e",
                                               11));
  const auto texts = capture.take_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "a_b_c_d\x80\xff_e");
}

TEST(Logger, LongMessagesAreCutAt1024BytesIncludingTheHeader) {
  const std::string message(2000, 'x');
  {
    LogCapture capture;
    log_message(Severity::Info, message);
    const auto lines = capture.take_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 1024u);
  }
  const std::string header = "<22>keldmoor[" + pid_text() + "]: ";
  const std::string out = capture_stderr([&] { log_message(Severity::Info, message); });
  EXPECT_EQ(out.size(), 1024 - std::string("<22>").size() + 1);
  EXPECT_EQ(out.substr(0, header.size() - 4), header.substr(4));
  EXPECT_EQ(out.back(), '\n');
}

TEST(Logger, StandardErrorFormDropsThePriority) {
  logger() = Logger{};
  const std::string before =
      capture_stderr([] { log_message(Severity::Warning, "config: something"); });
  EXPECT_EQ(before, "keldmoor[" + pid_text() + "]: config: something\n");
  logger().set_ident("tessvane");
  const std::string after = capture_stderr([] { log_message(Severity::Err, "x"); });
  EXPECT_EQ(after, "tessvane[" + pid_text() + "]: x\n");
  logger() = Logger{};
}

// Held lines leave at the flush, in order and byte for byte as they would
// have left one by one; more than the held number sends the earlier ones.
TEST(Logger, HeldLinesLeaveTogetherUnchangedAndInOrder) {
  LogCapture capture;
  std::vector<std::string> sent_alone;
  const auto texts = [](std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back("line " + std::to_string(i) + (i % 2 == 0 ? "\tcontrol" : std::string(2000, 'x')));
    }
    return out;
  };
  for (const std::string& text : texts(3)) log_message(Severity::Info, text);
  sent_alone = capture.take_lines();
  ASSERT_EQ(sent_alone.size(), 3u);

  hold_log_lines();
  for (const std::string& text : texts(3)) log_message(Severity::Info, text);
  log_message(Severity::Debug, "");
  EXPECT_TRUE(capture.take_lines().empty()) << "nothing leaves before the flush";
  flush_log_lines();
  std::vector<std::string> held = capture.take_lines();
  ASSERT_EQ(held.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(held.begin(), held.begin() + 3), sent_alone);

  hold_log_lines();
  for (const std::string& text : texts(kHeldLogLines + 1)) log_message(Severity::Info, text);
  // (Fewer than the 10 datagrams a Linux receiver queues by default.)
  EXPECT_EQ(capture.take_lines().size(), kHeldLogLines) << "a full hold is sent at once";
  flush_log_lines();
  EXPECT_EQ(capture.take_lines().size(), 1u);
  log_message(Severity::Info, "after");
  EXPECT_EQ(capture.take_lines().size(), 1u) << "after the flush lines leave at once again";

  // Closing the connection sends what is held.
  hold_log_lines();
  log_message(Severity::Info, "last");
  close_log_connection();
  EXPECT_EQ(capture.take_texts(), std::vector<std::string>{"last"});
}

TEST(Logger, SyslogWithoutListenerLosesLinesQuietly) {
  logger() = Logger{};
  logger().to_syslog = true;
  log_testing::set_syslog_path("/nonexistent/tessvane-log");
  open_log_connection();
  const std::string out = capture_stderr([] { log_message(Severity::Err, "lost"); });
  EXPECT_EQ(out, "");  // never falls back to standard error
  close_log_connection();
  log_testing::set_syslog_path("");
  logger() = Logger{};
}

// A receiver whose queue is full refuses held lines without losing them:
// they stay held, in order, and leave at a later try. A full hold that is
// still refused loses its oldest line, and a flush what is still refused,
// as lines sent one by one to a full queue are lost.
TEST(Logger, LinesAFullReceiverRefusesStayHeldForALaterTry) {
  LogCapture capture;
  hold_log_lines();
  const auto fill_the_queue = [] {
    for (int i = 0; i < 100000; ++i) {
      log_message(Severity::Info, "fill " + std::to_string(i));
      if (send_held_log_lines() != 0) return "fill " + std::to_string(i);
    }
    return std::string("the queue never filled");
  };
  const std::string refused = fill_the_queue();
  ASSERT_EQ(held_log_line_count(), 1u) << refused;
  log_message(Severity::Info, "a");
  log_message(Severity::Info, "b");
  EXPECT_EQ(send_held_log_lines(), 3u);
  std::vector<std::string> texts = capture.take_texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(texts.back(), refused);
  EXPECT_EQ(send_held_log_lines(), 0u);
  EXPECT_EQ(capture.take_texts(), (std::vector<std::string>{refused, "a", "b"}));

  const std::string first = fill_the_queue();
  for (std::size_t i = 1; i <= kHeldLogLines; ++i) log_message(Severity::Info, std::to_string(i));
  EXPECT_EQ(held_log_line_count(), kHeldLogLines);
  (void)capture.take_texts();
  EXPECT_EQ(send_held_log_lines(), 0u);
  texts = capture.take_texts();
  ASSERT_EQ(texts.size(), kHeldLogLines);
  EXPECT_EQ(texts.front(), "1") << first << " was the oldest and is lost";
  EXPECT_EQ(texts.back(), std::to_string(kHeldLogLines));

  (void)fill_the_queue();
  flush_log_lines();
  EXPECT_EQ(held_log_line_count(), 0u);
  (void)capture.take_texts();
  log_message(Severity::Info, "after");
  EXPECT_EQ(capture.take_texts(), std::vector<std::string>{"after"});
}

// A fatal report sends what the thread holds before it: the process ends
// right after, and held lines would die with it.
TEST(Logger, FatalReportSendsTheHeldLinesFirst) {
  LogCapture capture;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    hold_log_lines();
    log_message(Severity::Info, "held");
    exit_with_fatal_report(ErrorCode::InvalidArgument);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(capture.take_texts(),
            (std::vector<std::string>{"held", "fatal: exiting on InvalidArgument"}));
}

TEST(LoggerDeathTest, FatalReportLogsThenNamesTheErrorOnStandardError) {
  logger() = Logger{};
  EXPECT_EXIT(exit_with_fatal_report(ErrorCode::InvalidArgument), ::testing::ExitedWithCode(1),
              "keldmoor\\[[0-9]+\\]: fatal: exiting on InvalidArgument\nerror: InvalidArgument\n");
}

}  // namespace
}  // namespace tessvane
