#pragma once
// Runs tests/tools/dns_responder.py (a scriptable loopback DNS server, see
// the description at the top of that file) for one test: starts it, waits
// until it listens, tells its port, forwards zone data and scripted actions,
// reads back the queries it received, and stops it when it goes away. Every
// wait is bounded; a failure is reported as a test failure and leaves the
// responder not running().

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace tessvane::testing {

struct LoggedQuery {
  std::string server;     // the address the query was sent to
  std::string transport;  // "udp" or "tcp"
  std::uint16_t client_port = 0;
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  int edns_size = -1;  // the OPT record's payload size, -1 without OPT
  std::string name;    // as it arrived
};

class DnsResponder {
 public:
  // Serves on every address given (loopback only), all on one port.
  explicit DnsResponder(std::vector<std::string> addresses = {"127.0.0.1"});
  ~DnsResponder();
  DnsResponder(const DnsResponder&) = delete;
  DnsResponder& operator=(const DnsResponder&) = delete;

  bool running() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }

  // A JSON object of names to zone entries, added to or replacing the zone.
  bool set_zone(std::string_view zone_json);
  // A JSON object with an action's match and behaviour fields.
  bool add_action(std::string_view action_json);
  // mode: "serve", "refuse" or "close".
  bool set_tcp_mode(std::string_view server, std::string_view mode);
  // The queries received since the last call, in arrival order.
  std::vector<LoggedQuery> take_queries();

  // One raw command line; the answer lines after "ok" go to extra.
  bool command(std::string_view json, std::vector<std::string>* extra = nullptr);

 private:
  std::optional<std::string> read_line();
  bool send_line(std::string_view line);
  void stop();

  pid_t pid_ = -1;
  UniqueFd control_;
  std::string buffer_;
  std::uint16_t port_ = 0;
};

}  // namespace tessvane::testing
