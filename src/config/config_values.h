#pragma once
// The value rules of the configuration keys, one reader per kind of value.
// The readers that return an optional give nullopt for a value that cannot be
// used, and the caller keeps the key's default; only the UMask and Socket
// readers report errors, because only those values stop start-up.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "config/settings.h"

namespace tessvane {

// A size: a number with an optional unit K, M or G (powers of 1024) and an
// optional final b/B ("10M", "10 MB", "5b"). Empty, malformed or overflowing
// sizes give nullopt.
std::optional<std::uint64_t> parse_size_value(std::string_view text);

// yes/true/1 and no/false/0, ignoring ASCII case.
std::optional<bool> parse_bool_value(std::string_view text);

// Syslog codes for SyslogFacility and LogLevel; unknown names give mail (2)
// and info (6).
std::uint8_t facility_code(std::string_view name);
std::uint8_t level_code(std::string_view name);

// DnsNameserver: the comma-separated pieces, trimmed, empty ones dropped.
std::vector<std::string> split_nameservers(std::string_view text);

// DnsTimeout seconds as milliseconds. 0, or more seconds than 32-bit
// milliseconds can hold (above 4294967), is unusable like a malformed value.
std::optional<std::uint32_t> parse_dns_timeout_ms(std::string_view seconds);

// UMask: a non-empty octal number of at most 16 bits. Error: InvalidMode.
Result<std::uint16_t> parse_umask_value(std::string_view text);

// A listener's Socket value: "inet:port[@ip]", "unix:path", "/path" or
// "port[@ip]". Errors: InvalidPort (not a 16-bit number), InvalidAddress (the
// host is not an IPv4/IPv6 literal), InvalidPath (a UNIX path above 103 bytes).
Result<ListenerSpec> parse_listen_address(std::string_view value);

inline constexpr std::size_t kMaxUnixSocketPath = 103;  // sun_path holds 104 with the NUL

}  // namespace tessvane
