#pragma once
// The tessvane-check command line: the options, the -p port syntax and the
// usage text. Pure functions over the argument texts; the returned views
// borrow from the arguments, which live for the whole run.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "base/error_code.h"

namespace tessvane::check {

// What the command line asked for. Each text is used verbatim; an option
// counts as given even with an empty argument.
struct CheckOptions {
  std::optional<std::string_view> client_ip;  // -i, required
  std::optional<std::string_view> sender;     // -s, required
  std::optional<std::string_view> helo;       // -e, derived when absent
  std::string_view nameserver = "127.0.0.1";  // -n
  std::uint16_t port = 53;                    // -p
  bool help = false;                          // -h or --help: nothing else was examined
};

// A usage error: the message written after "tessvane-check: ".
struct UsageError {
  std::string_view message;
};

// Examines the arguments after the program name from left to right; the
// first problem met is the error. With -h or --help the options hold
// help = true and the remaining arguments are not looked at.
std::expected<CheckOptions, UsageError> parse_command_line(std::span<const std::string_view> args);

// The -p value: decimal, optional leading '+', '_' between digits (not after
// the sign, not first, not last), at most 65535; a '-' followed by one or more
// characters, all of them '0' or '_', is 0. Error: InvalidPort.
Result<std::uint16_t> parse_port_argument(std::string_view text);

// The help text printed by -h, every line ending in a line feed.
extern const std::string_view kUsageText;

}  // namespace tessvane::check
