// bench-null-filter: the ceiling for the message path. A milter filter that
// decides nothing but has the daemon's traffic shape: it negotiates like the
// daemon (actions ADDHDRS|CHGHDRS, protocol NOBODY), answers every step that
// expects an answer with SMFIR_CONTINUE, and at end of message inserts one
// Authentication-Results header and accepts. One thread, one level-triggered
// epoll set; a read that does not fill the buffer is taken as all there is
// (the next readiness brings the rest), so a command costs three system
// calls: the wait, the read and the write of its answers.
//
//   bench-null-filter --listen 127.0.0.1:8891 [--one-round-trip]
//
// --one-round-trip negotiates, of what the MTA offers, no answer for any step
// before end of message and no recipients, DATA, unknown commands or body:
// the shape of a filter that costs the MTA one round trip per message.
// Runs until SIGTERM or SIGINT, then prints how many messages it answered.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/milter_wire.h"
#include "common/socket_util.h"

namespace tessvane::bench {
namespace {

constexpr std::string_view kHeaderName = "Authentication-Results";
constexpr std::string_view kHeaderValue =
    "mx.bench.test; spf=pass smtp.mailfrom=bench.test";

struct Connection {
  UniqueFd fd;
  std::string in;
  std::string out;
  std::size_t out_sent = 0;
  std::uint32_t protocol = 0;
  bool write_armed = false;  // EPOLLOUT registered: a reply waits for room
};

struct Filter {
  std::uint32_t protocol_mask = kNoBody;
  std::uint64_t messages = 0;
  int epoll = -1;
};

void answer_negotiation(Filter& filter, Connection& connection, std::string_view payload) {
  if (payload.size() < 12) return;
  const std::uint32_t actions = load_u32(payload.substr(4)) & (kActAddHeaders | kActChangeHeaders);
  connection.protocol = load_u32(payload.substr(8)) & filter.protocol_mask;
  std::string body;
  append_u32(body, kMilterVersion);
  append_u32(body, actions);
  append_u32(body, connection.protocol);
  append_packet(connection.out, 'O', body);
}

void answer_end_of_message(Filter& filter, Connection& connection) {
  std::string body;
  append_u32(body, 0);
  body.append(kHeaderName);
  body.push_back('\0');
  body.append(kHeaderValue);
  body.push_back('\0');
  append_packet(connection.out, 'i', body);
  append_packet(connection.out, 'a');
  ++filter.messages;
}

// False when the connection is to be closed.
bool dispatch(Filter& filter, Connection& connection, const Packet& packet) {
  switch (packet.code) {
    case 'O': answer_negotiation(filter, connection, packet.payload); return true;
    case 'E': answer_end_of_message(filter, connection); return true;
    case 'D': case 'A': case 'K': return true;
    case 'Q': return false;
    default:
      if ((connection.protocol & no_reply_flag(packet.code)) == 0) {
        append_packet(connection.out, 'c');
      }
      return true;
  }
}

// Sends what is queued; false on a write error. Leftovers wait for EPOLLOUT.
bool flush(Filter& filter, Connection& connection) {
  while (connection.out_sent < connection.out.size()) {
    const ssize_t n = ::send(connection.fd.get(), connection.out.data() + connection.out_sent,
                             connection.out.size() - connection.out_sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (connection.write_armed) return true;
      connection.write_armed = true;
      epoll_event event{EPOLLIN | EPOLLOUT, {.fd = connection.fd.get()}};
      return ::epoll_ctl(filter.epoll, EPOLL_CTL_MOD, connection.fd.get(), &event) == 0;
    }
    if (n <= 0) return false;
    connection.out_sent += static_cast<std::size_t>(n);
  }
  connection.out.clear();
  connection.out_sent = 0;
  if (connection.write_armed) {
    connection.write_armed = false;
    epoll_event event{EPOLLIN, {.fd = connection.fd.get()}};
    return ::epoll_ctl(filter.epoll, EPOLL_CTL_MOD, connection.fd.get(), &event) == 0;
  }
  return true;
}

// Reads what is there and answers every complete packet; false when the
// connection is to be closed.
bool serve(Filter& filter, Connection& connection) {
  std::array<char, 8192> buffer;
  for (;;) {
    const ssize_t n = ::recv(connection.fd.get(), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) return false;
    connection.in.append(buffer.data(), static_cast<std::size_t>(n));
    std::size_t used = 0;
    for (;;) {
      bool bad = false;
      const auto packet = front_packet(std::string_view(connection.in).substr(used), &bad);
      if (bad) return false;
      if (!packet) break;
      if (!dispatch(filter, connection, *packet)) return false;
      used += packet->wire_size;
    }
    connection.in.erase(0, used);
    if (static_cast<std::size_t>(n) < buffer.size()) break;
  }
  return flush(filter, connection);
}

void accept_all(Filter& filter, int listener, std::unordered_map<int, Connection>& connections) {
  for (;;) {
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) return;
    set_nodelay(fd.get());
    epoll_event event{EPOLLIN, {.fd = fd.get()}};
    if (::epoll_ctl(filter.epoll, EPOLL_CTL_ADD, fd.get(), &event) != 0) continue;
    const int key = fd.get();
    connections[key].fd = std::move(fd);
  }
}

int run(const sockaddr_in& address, bool one_round_trip) {
  Filter filter;
  if (one_round_trip) filter.protocol_mask = kOneRoundTrip;
  UniqueFd stop = stop_signal_fd();
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  UniqueFd listener = listen_tcp(address);
  if (!stop || !epoll || !listener) return 1;
  filter.epoll = epoll.get();
  for (const int fd : {listener.get(), stop.get()}) {
    epoll_event event{EPOLLIN, {.fd = fd}};
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0) return 1;
  }
  std::printf("bench-null-filter: listening on port %u%s\n", bound_port(listener.get()),
              one_round_trip ? " (one round trip)" : "");
  std::fflush(stdout);

  std::unordered_map<int, Connection> connections;
  std::array<epoll_event, 64> events;
  for (bool stopping = false; !stopping;) {
    const int n = ::epoll_wait(epoll.get(), events.data(), events.size(), -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == stop.get()) {
        stopping = true;
      } else if (fd == listener.get()) {
        accept_all(filter, fd, connections);
      } else if (auto it = connections.find(fd); it != connections.end()) {
        const bool ok = (events[i].events & EPOLLIN) ? serve(filter, it->second)
                                                     : flush(filter, it->second);
        if (!ok || (events[i].events & (EPOLLHUP | EPOLLERR))) connections.erase(it);
      }
    }
  }
  std::printf("bench-null-filter: answered %llu messages\n",
              static_cast<unsigned long long>(filter.messages));
  return 0;
}

}  // namespace
}  // namespace tessvane::bench

int main(int argc, char** argv) {
  std::optional<sockaddr_in> address;
  bool one_round_trip = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--listen" && i + 1 < argc) {
      address = tessvane::bench::parse_ipv4_port(argv[++i]);
      if (!address) break;
    } else if (arg == "--one-round-trip") {
      one_round_trip = true;
    } else {
      address.reset();
      break;
    }
  }
  if (!address) {
    std::fprintf(stderr, "usage: bench-null-filter --listen ADDRESS:PORT [--one-round-trip]\n");
    return 2;
  }
  return tessvane::bench::run(*address, one_round_trip);
}
