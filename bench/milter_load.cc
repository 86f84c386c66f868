// bench-milter-load: the MTA side of the milter protocol (version 6) as a
// load generator. It holds N connections to a filter, negotiates once per
// connection (offering every action and protocol flag, like an MTA that
// supports them all) and then sends message after message on each: macros,
// connect, HELO, MAIL, RCPT, DATA, ten headers, end of headers, the body if
// the filter wants it, end of message, and SMFIC_QUIT_NC before the next one
// (the connection is reused as sendmail reuses it). It honours what the
// filter negotiated: skipped steps are not sent and unanswered steps travel
// with the next answered one, so a filter that answers only end of message
// costs one round trip per message. One thread, one epoll set.
//
// After --warmup seconds it measures for --duration seconds: messages per
// second, message latency percentiles (first byte sent to final answer),
// its own CPU time and that of each --watch process, and prints one line of
// key=value pairs starting with "result".

#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/milter_wire.h"
#include "common/socket_util.h"
#include "load_message.h"
#include "process_cpu.h"

namespace tessvane::bench {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kStallNs = 15 * kSecond;

struct Watched {
  std::string name;
  pid_t pid = 0;
  std::uint64_t cpu_start_us = 0;
  std::uint64_t cpu_end_us = 0;
};

struct Options {
  sockaddr_in server{};
  bool have_server = false;
  unsigned connections = 1;
  double duration_s = 10;
  double warmup_s = 2;
  double connect_wait_s = 10;
  std::uint32_t offer_actions = kAllActions;
  std::uint32_t offer_protocol = kAllProtocol;
  MessageShape shape;
  std::vector<Watched> watched;
};

struct Tally {
  std::uint64_t messages = 0;
  std::uint64_t accepted = 0;  // SMFIR_ACCEPT or SMFIR_CONTINUE at end of message
  std::uint64_t tempfailed = 0;
  std::uint64_t other = 0;     // any other final answer, at any step
  std::uint64_t inserted = 0;  // header inserts and adds
  std::uint64_t changed = 0;   // any other modification
  std::vector<std::uint32_t> latency_us;
};

struct Connection {
  UniqueFd fd;
  std::uint32_t protocol = 0;
  std::uint32_t actions = 0;
  MessageScript script;
  std::size_t round = 0;
  std::size_t sent = 0;  // bytes of script.bytes written
  std::string in;
  std::int64_t started_ns = 0;
  std::uint64_t inserted = 0;  // header inserts and adds for the current message
  std::uint64_t changed = 0;   // any other modification
};

struct Load {
  explicit Load(const Options& o) : options(o) {}
  const Options& options;
  int epoll = -1;
  std::uint64_t next_sequence = 0;
  bool measuring = false;
  Tally tally;
  std::int64_t last_progress_ns = 0;
  std::size_t rounds_per_message = 0;
  std::uint64_t all_messages = 0;  // warm-up included, for counts taken over the whole run
};

bool fail(const char* what) {
  std::fprintf(stderr, "bench-milter-load: %s\n", what);
  return false;
}

// Writes the rest of the current round; arms EPOLLOUT if the socket is full.
bool send_round(Load& load, Connection& connection) {
  const std::size_t end = connection.script.round_end[connection.round];
  while (connection.sent < end) {
    const ssize_t n = ::send(connection.fd.get(), connection.script.bytes.data() + connection.sent,
                             end - connection.sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      epoll_event event{EPOLLIN | EPOLLOUT, {.ptr = &connection}};
      return ::epoll_ctl(load.epoll, EPOLL_CTL_MOD, connection.fd.get(), &event) == 0;
    }
    if (n <= 0) return fail("write to the filter failed");
    connection.sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool start_message(Load& load, Connection& connection, bool after_previous) {
  connection.script = build_message(load.options.shape, load.next_sequence++, connection.protocol);
  if (after_previous) {
    // SMFIC_QUIT_NC ends the previous session and keeps the connection.
    std::string quit;
    append_packet(quit, 'K');
    connection.script.bytes.insert(0, quit);
    for (std::size_t& end : connection.script.round_end) end += quit.size();
  }
  load.rounds_per_message = connection.script.round_end.size();
  connection.round = 0;
  connection.sent = 0;
  connection.inserted = 0;
  connection.changed = 0;
  connection.started_ns = monotonic_ns();
  return send_round(load, connection);
}

void finish_message(Load& load, Connection& connection, char code) {
  const std::int64_t now = monotonic_ns();
  load.last_progress_ns = now;
  ++load.all_messages;
  if (!load.measuring) return;
  Tally& tally = load.tally;
  ++tally.messages;
  tally.inserted += connection.inserted;
  tally.changed += connection.changed;
  if (code == 'a' || code == 'c') {
    ++tally.accepted;
  } else if (code == 't') {
    ++tally.tempfailed;
  } else {
    ++tally.other;
  }
  tally.latency_us.push_back(static_cast<std::uint32_t>((now - connection.started_ns) / 1000));
}

// One answer from the filter; false on a protocol fault.
bool take_reply(Load& load, Connection& connection, const Packet& reply) {
  if (reply.code == 'p') return true;  // progress: keep waiting
  const bool last_round = connection.round + 1 == connection.script.round_end.size();
  if (!last_round) {
    // SMFIR_SKIP (to a body chunk) lets the MTA go on like SMFIR_CONTINUE.
    if (reply.code != 'c' && reply.code != 's') {
      // The filter ended the message early (accept, reject, tempfail).
      finish_message(load, connection, reply.code == 'a' ? 'x' : reply.code);
      return start_message(load, connection, true);
    }
    ++connection.round;
    return send_round(load, connection);
  }
  if (!is_final_reply(reply.code)) {
    ++(reply.code == 'i' || reply.code == 'h' ? connection.inserted : connection.changed);
    return true;
  }
  finish_message(load, connection, reply.code);
  return start_message(load, connection, true);
}

bool read_replies(Load& load, Connection& connection) {
  std::array<char, 8192> buffer;
  for (;;) {
    const ssize_t n = ::recv(connection.fd.get(), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    if (n == 0) return fail("the filter closed a connection");
    if (n < 0) return fail("read from the filter failed");
    connection.in.append(buffer.data(), static_cast<std::size_t>(n));
    std::size_t used = 0;
    for (;;) {
      bool bad = false;
      const auto reply = front_packet(std::string_view(connection.in).substr(used), &bad);
      if (bad) return fail("bad reply length from the filter");
      if (!reply) break;
      if (!take_reply(load, connection, *reply)) return false;
      used += reply->wire_size;
    }
    connection.in.erase(0, used);
    if (static_cast<std::size_t>(n) < buffer.size()) return true;
  }
}

// Connects and negotiates synchronously, then hands the socket to epoll.
bool open_connection(Load& load, Connection& connection, std::int64_t deadline_ns) {
  connection.fd = connect_tcp(load.options.server, deadline_ns);
  if (!connection.fd) return fail("cannot connect to the filter");
  set_nodelay(connection.fd.get());
  const timeval timeout{10, 0};
  (void)::setsockopt(connection.fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::string offer =
      negotiation_packet(load.options.offer_actions, load.options.offer_protocol);
  if (::send(connection.fd.get(), offer.data(), offer.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(offer.size())) {
    return fail("cannot send the negotiation");
  }
  std::string in;
  std::array<char, 512> buffer;
  for (;;) {
    bool bad = false;
    const auto reply = front_packet(in, &bad);
    if (reply) {
      if (reply->code != 'O' || reply->payload.size() < 12) return fail("no negotiation answer");
      connection.actions = load_u32(reply->payload.substr(4));
      connection.protocol = load_u32(reply->payload.substr(8));
      break;
    }
    if (bad) return fail("bad negotiation answer");
    const ssize_t n = ::recv(connection.fd.get(), buffer.data(), buffer.size(), 0);
    if (n <= 0) return fail("no negotiation answer");
    in.append(buffer.data(), static_cast<std::size_t>(n));
  }
  if (!set_nonblocking(connection.fd.get())) return fail("fcntl failed");
  epoll_event event{EPOLLIN, {.ptr = &connection}};
  if (::epoll_ctl(load.epoll, EPOLL_CTL_ADD, connection.fd.get(), &event) != 0) {
    return fail("epoll_ctl failed");
  }
  return true;
}

void snapshot_cpu(Options& options, bool start) {
  for (Watched& watched : options.watched) {
    const std::uint64_t cpu = process_cpu_us(watched.pid).value_or(0);
    (start ? watched.cpu_start_us : watched.cpu_end_us) = cpu;
  }
}

double percentile_ms(std::vector<std::uint32_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1] / 1000.0;
}

void print_result(Options& options, Load& load, const Connection& first, double seconds,
                  std::uint64_t client_cpu_us) {
  Tally& tally = load.tally;
  std::sort(tally.latency_us.begin(), tally.latency_us.end());
  const double messages = static_cast<double>(std::max<std::uint64_t>(tally.messages, 1));
  std::printf(
      "result connections=%u seconds=%.2f messages=%llu msgs_per_s=%.0f p50_ms=%.3f "
      "p90_ms=%.3f p99_ms=%.3f max_ms=%.3f accepted=%llu tempfailed=%llu other=%llu "
      "inserted=%llu changed=%llu round_trips=%zu actions=0x%X protocol=0x%X "
      "client_cpu_pct=%.1f client_cpu_us_per_msg=%.1f",
      options.connections, seconds, static_cast<unsigned long long>(tally.messages),
      static_cast<double>(tally.messages) / seconds, percentile_ms(tally.latency_us, 0.50),
      percentile_ms(tally.latency_us, 0.90), percentile_ms(tally.latency_us, 0.99),
      tally.latency_us.empty() ? 0.0 : tally.latency_us.back() / 1000.0,
      static_cast<unsigned long long>(tally.accepted),
      static_cast<unsigned long long>(tally.tempfailed),
      static_cast<unsigned long long>(tally.other), static_cast<unsigned long long>(tally.inserted),
      static_cast<unsigned long long>(tally.changed), load.rounds_per_message, first.actions,
      first.protocol, static_cast<double>(client_cpu_us) / (seconds * 1e4),
      static_cast<double>(client_cpu_us) / messages);
  for (const Watched& watched : options.watched) {
    const double used = static_cast<double>(watched.cpu_end_us - watched.cpu_start_us);
    std::printf(" %s_cpu_pct=%.1f %s_cpu_us_per_msg=%.1f %s_rss_kb=%llu", watched.name.c_str(),
                used / (seconds * 1e4), watched.name.c_str(), used / messages,
                watched.name.c_str(),
                static_cast<unsigned long long>(process_rss_kb(watched.pid).value_or(0)));
  }
  std::printf(" all_messages=%llu\n", static_cast<unsigned long long>(load.all_messages));
  std::fflush(stdout);
}

int run(Options& options) {
  ::signal(SIGPIPE, SIG_IGN);
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll) return 1;
  Load load(options);
  load.epoll = epoll.get();
  std::vector<Connection> connections(options.connections);
  const std::int64_t connect_deadline =
      monotonic_ns() + static_cast<std::int64_t>(options.connect_wait_s * kSecond);
  for (Connection& connection : connections) {
    if (!open_connection(load, connection, connect_deadline)) return 1;
  }
  const std::int64_t begin = monotonic_ns();
  const std::int64_t measure_start = begin + static_cast<std::int64_t>(options.warmup_s * kSecond);
  const std::int64_t measure_end =
      measure_start + static_cast<std::int64_t>(options.duration_s * kSecond);
  load.last_progress_ns = begin;
  for (Connection& connection : connections) {
    if (!start_message(load, connection, false)) return 1;
  }

  std::uint64_t client_cpu_start = 0;
  std::int64_t measured_from = 0;
  std::vector<epoll_event> events(std::max<std::size_t>(connections.size(), 16));
  for (;;) {
    const int n = ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 50);
    if (n < 0 && errno != EINTR) {
      fail("epoll_wait failed");
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      auto& connection = *static_cast<Connection*>(events[i].data.ptr);
      bool ok = true;
      if (events[i].events & EPOLLOUT) {
        epoll_event event{EPOLLIN, {.ptr = &connection}};
        ok = ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, connection.fd.get(), &event) == 0 &&
             send_round(load, connection);
      }
      if (ok && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        ok = read_replies(load, connection);
      }
      if (!ok) return 1;
    }
    const std::int64_t now = monotonic_ns();
    if (!load.measuring && now >= measure_start) {
      load.measuring = true;
      measured_from = now;
      client_cpu_start = own_cpu_us();
      snapshot_cpu(options, true);
    }
    if (now >= measure_end) {
      snapshot_cpu(options, false);
      const std::uint64_t client_cpu = own_cpu_us() - client_cpu_start;
      print_result(options, load, connections.front(),
                   static_cast<double>(now - measured_from) / kSecond, client_cpu);
      for (Connection& connection : connections) {
        std::string quit;
        append_packet(quit, 'Q');
        (void)::send(connection.fd.get(), quit.data(), quit.size(), MSG_NOSIGNAL);
      }
      return 0;
    }
    if (now - load.last_progress_ns > kStallNs) {
      fail("no message finished for 15 s");
      return 1;
    }
  }
}

constexpr std::string_view kUsage =
    "usage: bench-milter-load --server ADDRESS:PORT [--connections N] [--duration S]\n"
    "         [--warmup S] [--domains N (0: a new domain per message)] [--zone Z]\n"
    "         [--typical] [--cold-tag T] [--body-bytes N] [--offer-protocol HEX]\n"
    "         [--offer-actions HEX] [--connect-wait S] [--watch NAME=PID]...\n";

std::optional<double> parse_seconds(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !(value >= 0)) return std::nullopt;
  return value;
}

bool parse_option(Options& options, std::string_view name, std::string_view value) {
  if (name == "--server") {
    const auto server = parse_ipv4_port(value);
    options.have_server = server.has_value();
    if (server) options.server = *server;
    return options.have_server;
  }
  if (name == "--zone") return options.shape.zone = value, true;
  if (name == "--cold-tag") return options.shape.cold_tag = value, true;
  if (name == "--watch") {
    const auto equals = value.find('=');
    if (equals == std::string_view::npos) return false;
    const auto pid = parse_number(value.substr(equals + 1));
    if (!pid) return false;
    options.watched.push_back({std::string(value.substr(0, equals)), static_cast<pid_t>(*pid)});
    return true;
  }
  if (name == "--duration" || name == "--warmup" || name == "--connect-wait") {
    const auto seconds = parse_seconds(value);
    if (!seconds) return false;
    (name == "--duration" ? options.duration_s
                          : name == "--warmup" ? options.warmup_s : options.connect_wait_s) =
        *seconds;
    return true;
  }
  if (name == "--offer-protocol" || name == "--offer-actions") {
    const std::string copy(value);
    char* end = nullptr;
    const unsigned long flags = std::strtoul(copy.c_str(), &end, 16);
    if (end != copy.c_str() + copy.size() || copy.empty()) return false;
    (name == "--offer-protocol" ? options.offer_protocol : options.offer_actions) =
        static_cast<std::uint32_t>(flags);
    return true;
  }
  const auto number = parse_number(value);
  if (!number) return false;
  if (name == "--connections" && *number >= 1 && *number <= 10000) {
    options.connections = static_cast<unsigned>(*number);
  } else if (name == "--domains" && *number <= 0xFFFFFFFF) {
    options.shape.domains = static_cast<std::uint32_t>(*number);
  } else if (name == "--body-bytes" && *number <= 65536) {
    options.shape.body_bytes = *number;
  } else {
    return false;
  }
  return true;
}

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--typical") {
      options.shape.typical_record = true;
      continue;
    }
    if (i + 1 >= argc || !parse_option(options, name, argv[++i])) return false;
  }
  if (options.shape.cold_tag.empty()) {
    options.shape.cold_tag = std::to_string(::getpid()) + "x" + std::to_string(monotonic_ns() % 1000000);
  }
  return options.have_server && options.duration_s > 0;
}

}  // namespace
}  // namespace tessvane::bench

int main(int argc, char** argv) {
  tessvane::bench::Options options;
  if (!tessvane::bench::parse_options(argc, argv, options)) {
    std::fputs(tessvane::bench::kUsage.data(), stderr);
    return 2;
  }
  return tessvane::bench::run(options);
}
