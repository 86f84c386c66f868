#include "config/config_values.h"

#include <array>
#include <utility>

#include "base/number.h"
#include "base/text.h"
#include "net/address.h"

namespace tessvane {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint32_t kMaxDnsTimeoutSeconds = UINT32_MAX / 1000;  // 4294967

constexpr std::string_view kTcpPrefix = "inet:";
constexpr std::string_view kUnixPrefix = "unix:";
constexpr std::string_view kAnyHost = "0.0.0.0";

struct NamedCode {
  std::string_view name;
  std::uint8_t code;
};

constexpr std::array<NamedCode, 11> kFacilities = {{
    {"mail", 2},
    {"daemon", 3},
    {"auth", 4},
    {"local0", 16},
    {"local1", 17},
    {"local2", 18},
    {"local3", 19},
    {"local4", 20},
    {"local5", 21},
    {"local6", 22},
    {"local7", 23},
}};
constexpr std::uint8_t kDefaultFacility = 2;

constexpr std::array<NamedCode, 6> kLevels = {{
    {"err", 3},
    {"error", 3},
    {"warn", 4},
    {"warning", 4},
    {"info", 6},
    {"debug", 7},
}};
constexpr std::uint8_t kDefaultLevel = 6;

template <std::size_t N>
std::uint8_t code_of(std::string_view name, const std::array<NamedCode, N>& table,
                     std::uint8_t fallback) {
  for (const auto& entry : table) {
    if (iequals(name, entry.name)) return entry.code;
  }
  return fallback;
}

std::uint64_t unit_multiplier(char c) {
  switch (c) {
    case 'K':
    case 'k': return kKiB;
    case 'M':
    case 'm': return kKiB * kKiB;
    case 'G':
    case 'g': return kKiB * kKiB * kKiB;
    default: return 0;
  }
}

Result<ListenerSpec> parse_tcp_listener(std::string_view text) {
  const auto at = text.find('@');
  const auto port = parse_u16(text.substr(0, at));
  if (!port) return fail(ErrorCode::InvalidPort);
  if (at == std::string_view::npos) return ListenerSpec{std::string(kAnyHost), *port, false};
  const std::string_view host = text.substr(at + 1);
  if (!parse_ip4(host) && !parse_ip6(host)) return fail(ErrorCode::InvalidAddress);
  return ListenerSpec{std::string(host), *port, false};
}

Result<ListenerSpec> unix_listener(std::string_view path) {
  if (path.size() > kMaxUnixSocketPath) return fail(ErrorCode::InvalidPath);
  return ListenerSpec{std::string(path), 0, true};
}

}  // namespace

std::optional<std::uint64_t> parse_size_value(std::string_view text) {
  text = trim(text, kSpaceTab);
  if (text.empty()) return std::nullopt;
  std::uint64_t multiplier = 1;
  if (text.size() > 1) {
    if (text.back() == 'b' || text.back() == 'B') text.remove_suffix(1);
    // A lone character left after the b is the whole number ("5b").
    if (text.size() > 1 && unit_multiplier(text.back()) != 0) {
      multiplier = unit_multiplier(text.back());
      text.remove_suffix(1);
    }
  }
  const auto number = parse_u64(trim(text, kSpaceTab));
  if (!number || *number > UINT64_MAX / multiplier) return std::nullopt;
  return *number * multiplier;
}

std::optional<bool> parse_bool_value(std::string_view text) {
  if (iequals(text, "yes") || iequals(text, "true") || text == "1") return true;
  if (iequals(text, "no") || iequals(text, "false") || text == "0") return false;
  return std::nullopt;
}

std::uint8_t facility_code(std::string_view name) {
  return code_of(name, kFacilities, kDefaultFacility);
}

std::uint8_t level_code(std::string_view name) {
  return code_of(name, kLevels, kDefaultLevel);
}

std::vector<std::string> split_nameservers(std::string_view text) {
  std::vector<std::string> out;
  for (;;) {
    const auto comma = text.find(',');
    const std::string_view piece = trim(text.substr(0, comma), kSpaceTab);
    if (!piece.empty()) out.emplace_back(piece);
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

std::optional<std::uint32_t> parse_dns_timeout_ms(std::string_view seconds) {
  const auto value = parse_u32(seconds);
  if (!value || *value == 0 || *value > kMaxDnsTimeoutSeconds) return std::nullopt;
  return *value * 1000;
}

Result<std::uint16_t> parse_umask_value(std::string_view text) {
  const auto mask = parse_unsigned_octal(trim(text, kSpaceTab), UINT16_MAX);
  if (!mask) return fail(ErrorCode::InvalidMode);
  return static_cast<std::uint16_t>(*mask);
}

Result<ListenerSpec> parse_listen_address(std::string_view value) {
  if (value.starts_with(kTcpPrefix)) return parse_tcp_listener(value.substr(kTcpPrefix.size()));
  if (value.starts_with(kUnixPrefix)) return unix_listener(value.substr(kUnixPrefix.size()));
  if (value.starts_with('/')) return unix_listener(value);
  return parse_tcp_listener(value);
}

}  // namespace tessvane
