#include "check/command_line.h"

#include <algorithm>
#include <string>

#include "base/number.h"
#include "base/text.h"

namespace tessvane::check {
namespace {

constexpr std::string_view kUnknownOption = "unknown option (use -h for help)";
constexpr std::string_view kBadPort = "-p must be a port number";

// An option that takes the next argument as its value, and the message given
// when it is the last argument.
struct ValueOption {
  std::string_view flag;
  std::string_view missing_message;
};

constexpr ValueOption kValueOptions[] = {
    {"-i", "missing argument for -i"}, {"-s", "missing argument for -s"},
    {"-e", "missing argument for -e"}, {"-n", "missing argument for -n"},
    {"-p", "missing argument for -p"},
};

bool is_zero_or_underscore(char c) {
  return c == '0' || c == '_';
}

// Stores one option's value; only -p can reject it.
std::expected<void, UsageError> store_value(CheckOptions& options, std::string_view flag,
                                            std::string_view value) {
  if (flag == "-i") {
    options.client_ip = value;
  } else if (flag == "-s") {
    options.sender = value;
  } else if (flag == "-e") {
    options.helo = value;
  } else if (flag == "-n") {
    options.nameserver = value;
  } else {
    auto port = parse_port_argument(value);
    if (!port) return std::unexpected(UsageError{kBadPort});
    options.port = *port;
  }
  return {};
}

}  // namespace

Result<std::uint16_t> parse_port_argument(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    const std::string_view rest = text.substr(1);
    if (rest.empty() || !std::all_of(rest.begin(), rest.end(), is_zero_or_underscore)) {
      return fail(ErrorCode::InvalidPort);
    }
    return std::uint16_t{0};
  }
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty() || digits.front() == '_' || digits.back() == '_') {
    return fail(ErrorCode::InvalidPort);
  }
  // Runs of '_' between digits are allowed here; the shared reader takes
  // single ones only, so it gets the digits alone.
  std::string plain;
  for (char c : digits) {
    if (c == '_') continue;
    if (!is_ascii_digit(c)) return fail(ErrorCode::InvalidPort);
    plain.push_back(c);
  }
  auto value = parse_u16(plain);
  if (!value) return fail(ErrorCode::InvalidPort);
  return *value;
}

std::expected<CheckOptions, UsageError> parse_command_line(std::span<const std::string_view> args) {
  CheckOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    const auto* option = std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                                      [&](const ValueOption& o) { return o.flag == arg; });
    if (option == std::end(kValueOptions)) return std::unexpected(UsageError{kUnknownOption});
    if (i + 1 == args.size()) return std::unexpected(UsageError{option->missing_message});
    auto stored = store_value(options, arg, args[++i]);
    if (!stored) return std::unexpected(stored.error());
  }
  if (!options.client_ip) return std::unexpected(UsageError{"-i <ip> is required"});
  if (!options.sender) return std::unexpected(UsageError{"-s <sender> is required"});
  return options;
}

const std::string_view kUsageText =
    "Usage: tessvane-check [options]\n"
    "\n"
    "Perform an SPF evaluation and display the result.\n"
    "\n"
    "Options:\n"
    "  -i <ip>          Client IP address (required)\n"
    "  -s <sender>      MAIL FROM address, e.g. user@example.com (required)\n"
    "  -e <helo>        EHLO/HELO domain (default: extracted from sender)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -h               Show this help\n"
    "\n"
    "Examples:\n"
    "  tessvane-check -i 192.0.2.10 -s user@example.com\n"
    "  tessvane-check -i 192.0.2.10 -s user@example.com -e mail.example.com\n"
    "  tessvane-check -i 2001:db8::10 -s user@example.org -n 9.9.9.9\n";

}  // namespace tessvane::check
