#pragma once
// Small socket and clock helpers for the bench programs (Linux only: bench/
// is a measuring tool, not product code). Failures print a line to standard
// error and return an invalid descriptor.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/unique_fd.h"

namespace tessvane::bench {

// "127.0.0.1:8890" (IPv4 only).
std::optional<sockaddr_in> parse_ipv4_port(std::string_view text);
std::optional<sockaddr_in> ipv4_address(std::string_view host, std::uint16_t port);

UniqueFd listen_tcp(const sockaddr_in& address);
UniqueFd bind_udp(const sockaddr_in& address);
// Retries a refused connection until deadline_ns (monotonic).
UniqueFd connect_tcp(const sockaddr_in& address, std::int64_t deadline_ns);

bool set_nonblocking(int fd);
void set_nodelay(int fd);
// The port a bound socket got.
std::uint16_t bound_port(int fd);

std::int64_t monotonic_ns() noexcept;

// Blocks SIGTERM and SIGINT and returns a signalfd that becomes readable when
// one arrives, so an event loop can stop cleanly.
UniqueFd stop_signal_fd();

// Whole decimal number, or nullopt.
std::optional<std::uint64_t> parse_number(std::string_view text);

}  // namespace tessvane::bench
