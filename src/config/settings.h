#pragma once
// The daemon's settings as read from its configuration file (load_settings,
// config/config_load.h). Every field starts at its documented default; the
// process-wide instance is written once by start-up, before any worker thread
// exists, and only read afterwards, so readers take no lock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessvane {

// One address to listen on: a TCP host literal and port, or a UNIX-domain
// socket path (port unused).
struct ListenerSpec {
  std::string address;
  std::uint16_t port = 0;
  bool is_unix = false;
  friend bool operator==(const ListenerSpec&, const ListenerSpec&) = default;
};

// The listener used when the file names none.
inline constexpr std::string_view kDefaultListenHost = "127.0.0.1";
inline constexpr std::uint16_t kDefaultListenPort = 8890;
inline ListenerSpec default_listener() {
  return {std::string(kDefaultListenHost), kDefaultListenPort, false};
}

struct Settings {
  std::string config_path;
  std::string authserv_id = "localhost";
  std::uint32_t worker_threads = 0;  // 0: one per CPU
  std::uint32_t max_connections = 256;
  std::string pid_file = "/var/run/tessvane/tessvane.pid";
  std::optional<std::string> user;     // "name" or "name:group"; none: no privilege drop
  std::optional<std::uint16_t> umask;  // none: the inherited mask stays
  bool foreground = false;
  std::vector<ListenerSpec> listeners = {default_listener()};
  std::vector<std::string> nameservers = {"127.0.0.1"};
  std::uint16_t dns_port = 53;
  std::uint32_t dns_timeout_ms = 5000;
  std::uint8_t dns_retries = 2;
  std::uint32_t dns_cache_size = 1000;
  std::uint32_t dns_negative_ttl = 60;  // seconds
  std::uint64_t max_headers = 500;
  std::uint64_t max_header_bytes = 1048576;
  std::uint64_t max_body_bytes = 10485760;  // parsed, not used
  std::uint64_t max_signatures = 20;        // parsed, not used
  std::uint64_t max_void_lookups = 2;
  std::int64_t max_evaluation_ms = 20000;
  bool strip_auth_results = false;
  // Negotiate no answers before end of message and no recipients, body, DATA
  // or unknown commands, where the MTA offers it: one round trip per message.
  bool milter_one_round_trip = false;
  std::optional<std::string> zmq_endpoint;  // none: no publishing
  std::string zmq_topic = "spf.result";
  std::optional<std::string> whitelist_file;
  std::optional<std::string> trusted_relays_file;
  bool to_syslog = true;
  std::uint8_t facility = 2;  // mail
  std::uint8_t level = 6;     // info
  // The authentication methods this system reports on; no key sets it.
  std::vector<std::string> auth_methods = {"spf"};
};

// The process-wide instance (see the header comment for who writes it).
Settings& settings() noexcept;

}  // namespace tessvane
