#include "support/dns_responder.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/clock.h"
#include "base/number.h"
#include "base/text.h"

extern char** environ;

namespace tessvane::testing {
namespace {

constexpr std::int64_t kReplyWaitMs = 10'000;
constexpr std::int64_t kExitWaitMs = 5'000;
constexpr int kLogFields = 7;

std::vector<std::string_view> split_tabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Undoes the responder's \xNN escapes.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
      out.push_back(static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<LoggedQuery> parse_log_line(std::string_view line) {
  const auto fields = split_tabs(line);
  if (fields.size() != kLogFields) return std::nullopt;
  const auto client_port = parse_u16(fields[2]);
  const auto id = parse_u16(fields[3]);
  const auto type = parse_u16(fields[4]);
  if (!client_port || !id || !type) return std::nullopt;
  int edns = -1;
  if (fields[5] != "-1") {
    const auto size = parse_u16(fields[5]);
    if (!size) return std::nullopt;
    edns = *size;
  }
  return LoggedQuery{std::string(fields[0]), std::string(fields[1]), *client_port, *id, *type, edns,
                     unescape(fields[6])};
}

}  // namespace

DnsResponder::DnsResponder(std::vector<std::string> addresses) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    ADD_FAILURE() << "socketpair: " << errno;
    return;
  }
  control_.reset(pair[0]);
  UniqueFd child_end(pair[1]);

  const std::string script = std::string(TESSVANE_TEST_TOOLS) + "/dns_responder.py";
  std::vector<std::string> args = {TESSVANE_PYTHON, script};
  for (const auto& address : addresses) {
    args.push_back("--address");
    args.push_back(address);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child_end.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, child_end.get(), STDOUT_FILENO);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start " << script << ": " << spawned;
    return;
  }
  child_end.reset();

  const auto ready = read_line();
  constexpr std::string_view kReady = "ready ";
  if (!ready || !ready->starts_with(kReady)) {
    ADD_FAILURE() << "dns responder did not get ready";
    return;
  }
  const auto port = parse_u16(std::string_view(*ready).substr(kReady.size()));
  if (!port || *port == 0) {
    ADD_FAILURE() << "dns responder reported no port: " << *ready;
    return;
  }
  port_ = *port;
}

DnsResponder::~DnsResponder() {
  stop();
}

void DnsResponder::stop() {
  if (pid_ < 0) return;
  if (control_) {
    send_line(R"({"cmd": "quit"})");
    control_.reset();  // end of input ends the responder as well
  }
  const std::int64_t deadline = wall_clock_ms() + kExitWaitMs;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) break;
    if (wall_clock_ms() >= deadline) {
      ADD_FAILURE() << "dns responder did not stop; killing it";
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    const timespec pause{0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
  pid_ = -1;
  port_ = 0;
}

bool DnsResponder::send_line(std::string_view line) {
  // One command per line: line breaks inside JSON are plain white space.
  std::string text = cat(line, '\n');
  std::replace_if(
      text.begin(), text.end() - 1, [](char c) { return c == '\n' || c == '\r'; }, ' ');
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::send(control_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> DnsResponder::read_line() {
  const std::int64_t deadline = wall_clock_ms() + kReplyWaitMs;
  for (;;) {
    if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const std::int64_t left = deadline - wall_clock_ms();
    if (left <= 0) return std::nullopt;
    pollfd pfd{control_.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[4096];
    const ssize_t n = ::recv(control_.get(), chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool DnsResponder::command(std::string_view json, std::vector<std::string>* extra) {
  if (!running() || !send_line(json)) {
    ADD_FAILURE() << "dns responder not running for " << json;
    return false;
  }
  const auto answer = read_line();
  if (!answer || !answer->starts_with("ok")) {
    ADD_FAILURE() << "dns responder refused " << json << ": " << answer.value_or("(no answer)");
    return false;
  }
  std::size_t count = 0;
  if (answer->size() > 3) {
    const auto parsed = parse_u32(std::string_view(*answer).substr(3));
    if (!parsed) {
      ADD_FAILURE() << "bad answer " << *answer;
      return false;
    }
    count = *parsed;
  }
  for (std::size_t i = 0; i < count; ++i) {
    auto line = read_line();
    if (!line) {
      ADD_FAILURE() << "dns responder answer cut short";
      return false;
    }
    if (extra) extra->push_back(std::move(*line));
  }
  return true;
}

bool DnsResponder::set_zone(std::string_view zone_json) {
  return command(cat(R"({"cmd": "zone", "zone": )", zone_json, "}"));
}

bool DnsResponder::add_action(std::string_view action_json) {
  const std::string_view body = trim(action_json);
  if (!body.starts_with('{')) {
    ADD_FAILURE() << "an action is a JSON object: " << action_json;
    return false;
  }
  const std::string_view fields = trim(body.substr(1));
  return command(cat(R"({"cmd": "action")", fields.starts_with('}') ? "" : ", ", fields));
}

bool DnsResponder::set_tcp_mode(std::string_view server, std::string_view mode) {
  return command(cat(R"({"cmd": "tcp", "server": ")", server, R"(", "mode": ")", mode, R"("})"));
}

std::vector<LoggedQuery> DnsResponder::take_queries() {
  std::vector<std::string> lines;
  std::vector<LoggedQuery> queries;
  if (!command(R"({"cmd": "log", "clear": true})", &lines)) return queries;
  for (const auto& line : lines) {
    auto query = parse_log_line(line);
    if (!query) {
      ADD_FAILURE() << "bad query log line " << line;
      continue;
    }
    queries.push_back(std::move(*query));
  }
  return queries;
}

}  // namespace tessvane::testing
