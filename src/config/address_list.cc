#include "config/address_list.h"

#include <new>

#include "base/byte_reader.h"
#include "base/text.h"
#include "base/file_read.h"
#include "log/logger.h"

namespace tessvane {
namespace {

constexpr std::uint8_t kIp6MaxPrefix = 128;

// Decimal digits only, leading zeros allowed, value at most 255.
std::optional<std::uint8_t> parse_prefix(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (!is_ascii_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > UINT8_MAX) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

// An address entry, or a network entry when the line has a '/'. IPv4 prefixes
// get no upper bound here (above 32 is kept and never matches).
template <typename Network, typename Address>
std::optional<ListEntry> make_entry(const Result<Address>& address, std::size_t slash,
                                    std::string_view prefix_text,
                                    std::uint8_t max_prefix) noexcept {
  if (!address) return std::nullopt;
  if (slash == std::string_view::npos) return ListEntry{*address};
  const auto prefix = parse_prefix(prefix_text);
  if (!prefix || *prefix > max_prefix) return std::nullopt;
  return ListEntry{Network{*address, *prefix}};
}

bool matches_ip6(const ListEntry& entry, const Ip6Addr& client) noexcept {
  if (const auto* address = std::get_if<Ip6Addr>(&entry)) return *address == client;
  if (const auto* network = std::get_if<Ip6Network>(&entry)) {
    return ip6_prefix_match(network->address, client, network->prefix);
  }
  return false;
}

bool matches_ip4(const ListEntry& entry, const Ip4Addr& client) noexcept {
  if (const auto* address = std::get_if<Ip4Addr>(&entry)) return *address == client;
  if (const auto* network = std::get_if<Ip4Network>(&entry)) {
    return ip4_prefix_match(network->address, client, network->prefix);
  }
  return false;
}

template <typename Address, typename Match>
bool any_matches(const AddressList& list, const Address& client, Match match) noexcept {
  for (const auto& entry : list.entries) {
    if (match(entry, client)) return true;
  }
  return false;
}

void parse_lines(std::string_view content, std::vector<ListEntry>& out) {
  ByteReader reader(content);
  while (!reader.at_end()) {
    const std::string_view line = trim(as_text(reader.read_until_or_end(std::byte{'\n'})));
    if (line.empty() || line.front() == '#') continue;
    if (auto entry = parse_list_entry(line)) {
      out.push_back(*entry);
    } else if (log_enabled(Severity::Warning)) {
      log_message(Severity::Warning, cat("whitelist: ignoring unparseable entry ", line));
    }
  }
}

}  // namespace

std::optional<ListEntry> parse_list_entry(std::string_view text) noexcept {
  const auto slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  const std::string_view prefix =
      slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
  if (text.find(':') != std::string_view::npos) {
    return make_entry<Ip6Network>(parse_ip6(address), slash, prefix, kIp6MaxPrefix);
  }
  return make_entry<Ip4Network>(parse_ip4(address), slash, prefix, UINT8_MAX);
}

Result<AddressList> load_address_list(std::string_view path, const FileReader* reader) {
  auto content = read_regular_file(path, kMaxTextFileBytes, reader);
  if (!content) return fail(content.error());
  try {
    AddressList list;
    parse_lines(*content, list.entries);
    list.entries.shrink_to_fit();
    return list;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

bool address_list_contains(const AddressList& list, std::string_view client) noexcept {
  if (list.entries.empty()) return false;
  if (client.find(':') != std::string_view::npos) {
    const auto ip = parse_ip6(client);
    return ip && any_matches(list, *ip, matches_ip6);
  }
  const auto ip = parse_ip4(client);
  return ip && any_matches(list, *ip, matches_ip4);
}

}  // namespace tessvane
