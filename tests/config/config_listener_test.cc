// Listener sections: every Socket form, every failure and its message.

#include <gtest/gtest.h>

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

struct SocketCase {
  std::string value;
  Result<ListenerSpec> expected;  // for a failure: the reason named in the message
};

ListenerSpec tcp(std::string host, std::uint16_t port) {
  return {std::move(host), port, false};
}
ListenerSpec unix_path(std::string path) {
  return {std::move(path), 0, true};
}

TEST(ListenerSocket, AcceptsEveryFormAndNamesWhatIsWrong) {
  const std::string path103 = "/" + std::string(102, 'p');
  const std::string path104 = path103 + "p";
  const SocketCase cases[] = {
      {"8890", tcp("0.0.0.0", 8890)},
      {"+8_890", tcp("0.0.0.0", 8890)},
      {"inet:8890", tcp("0.0.0.0", 8890)},
      {"inet:25@127.0.0.1", tcp("127.0.0.1", 25)},
      {"25@192.0.2.7", tcp("192.0.2.7", 25)},
      {"inet:8890@::1", tcp("::1", 8890)},
      {"8890@2001:db8::1", tcp("2001:db8::1", 8890)},
      {"65535", tcp("0.0.0.0", 65535)},
      {"0", tcp("0.0.0.0", 0)},
      {"unix:/var/run/tessvane.sock", unix_path("/var/run/tessvane.sock")},
      {"unix:relative.sock", unix_path("relative.sock")},
      {"/var/run/tessvane.sock", unix_path("/var/run/tessvane.sock")},
      {"unix:", unix_path("")},  // accepted here; the bind fails later
      {"unix:" + path103, unix_path(path103)},
      {path103, unix_path(path103)},
      {"unix:" + path104, fail(ErrorCode::InvalidPath)},
      {path104, fail(ErrorCode::InvalidPath)},
      {"65536", fail(ErrorCode::InvalidPort)},
      {"-1", fail(ErrorCode::InvalidPort)},
      {"inet:", fail(ErrorCode::InvalidPort)},
      {"", fail(ErrorCode::InvalidPort)},
      {"@127.0.0.1", fail(ErrorCode::InvalidPort)},
      {"smtp@127.0.0.1", fail(ErrorCode::InvalidPort)},
      {"INET:8890", fail(ErrorCode::InvalidPort)},
      {"inet:8890@localhost", fail(ErrorCode::InvalidAddress)},
      {"8890@", fail(ErrorCode::InvalidAddress)},
      {"8890@[::1]", fail(ErrorCode::InvalidAddress)},
      {"8890@127.0.0.01", fail(ErrorCode::InvalidAddress)},
      {"8890@127.0.0.1@x", fail(ErrorCode::InvalidAddress)},
  };
  TempDir dir;
  for (const auto& c : cases) {
    LogCapture log;
    const auto loaded = load_text(dir, "[listener:main]\nSocket = " + c.value + "\n");
    if (c.expected) {
      ASSERT_TRUE(loaded.has_value()) << c.value << ": " << error_name(loaded.error());
      EXPECT_EQ(loaded->listeners, std::vector<ListenerSpec>{*c.expected}) << c.value;
      EXPECT_TRUE(log.take_texts().empty()) << c.value;
      continue;
    }
    EXPECT_EQ(loaded, fail(ErrorCode::InvalidListenerSocket)) << c.value;
    const std::string shown = c.value.empty() ? "-" : c.value;
    EXPECT_EQ(log.take_texts(),
              std::vector<std::string>{"config: [listener:main] Socket=" + shown +
                                       " is not a valid listen address (error." +
                                       std::string(error_name(c.expected.error())) +
                                       ") -- expected inet:port@ip or unix:/path"})
        << c.value;
  }
}

TEST(ListenerSocket, MessagesShowSectionAndValueSanitized) {
  TempDir dir;
  LogCapture log;
  EXPECT_EQ(load_text(dir, "[listener:my \x01main]\nSocket = 88\t90\n"),
            fail(ErrorCode::InvalidListenerSocket));
  EXPECT_EQ(log.take_texts(),
            std::vector<std::string>{"config: [listener:my__main] Socket=88_90 is not a valid "
                                     "listen address (error.InvalidPort) -- expected "
                                     "inet:port@ip or unix:/path"});
}

TEST(ListenerSocket, ASectionWithoutSocketStopsLoading) {
  TempDir dir;
  LogCapture log;
  EXPECT_EQ(load_text(dir,
                      "[listener:first]\nSocket = 1\n[listener:second]\n"
                      "[listener:third]\nSocket = bad\n"),
            fail(ErrorCode::MissingListenerSocket));
  EXPECT_EQ(log.take_texts(),
            std::vector<std::string>{"config: [listener:second] has no Socket setting -- a "
                                     "listener section must name an address"});
  EXPECT_EQ(load_text(dir, "[listener:]\n"), fail(ErrorCode::MissingListenerSocket));
  EXPECT_EQ(log.take_texts(),
            std::vector<std::string>{"config: [listener:] has no Socket setting -- a listener "
                                     "section must name an address"});
}

TEST(ListenerSocket, ListenersFollowSectionOrderAndRepeatedSectionsMerge) {
  TempDir dir;
  const auto loaded = load_text(dir,
                                "[listener:b]\nSocket = 10\n"
                                "[listener:a]\nSocket = unix:/tmp/a.sock\n"
                                "[global]\nMaxHeaders = 7\n"
                                "[listener:b]\nSocket = 11@::1\n"
                                "[listener:c]\nSocket = /tmp/c.sock\n");
  ASSERT_TRUE(loaded.has_value()) << error_name(loaded.error());
  EXPECT_EQ(loaded->listeners, (std::vector<ListenerSpec>{tcp("::1", 11), unix_path("/tmp/a.sock"),
                                                          unix_path("/tmp/c.sock")}));
  EXPECT_EQ(loaded->max_headers, 7u);
}

}  // namespace
}  // namespace tessvane
