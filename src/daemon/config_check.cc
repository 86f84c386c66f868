#include "daemon/config_check.h"

#include <unistd.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_reader.h"
#include "base/file_read.h"
#include "base/text.h"
#include "config/address_list.h"
#include "config/config_load.h"
#include "config/list_reload.h"
#include "daemon/privileges.h"
#include "log/logger.h"
#include "net/address.h"

namespace tessvane {
namespace {

void print_line(std::string_view text) {
  const std::string line = cat("tessvane: ", text, "\n");
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool is_ip_address(std::string_view text) {
  return parse_ip4(text).has_value() || parse_ip6(text).has_value();
}

void check_nameservers(const Settings& config, std::vector<std::string>& problems) {
  if (config.nameservers.empty()) {
    problems.push_back("config: [global] DnsNameserver names no nameserver");
  }
  for (const std::string& server : config.nameservers) {
    if (!is_ip_address(server)) {
      problems.push_back(cat("config: [global] DnsNameserver entry ", sanitized(server),
                             " is not an IPv4 or IPv6 address"));
    }
  }
}

void check_user(const Settings& config, std::vector<std::string>& problems) {
  if (!config.user) return;
  if (auto owner = resolve_user(*config.user); !owner) {
    problems.push_back(cat("config: [global] User = ", sanitized(*config.user),
                           " does not resolve: error.", error_name(owner.error())));
  }
}

// The list file read as start-up reads it; each line it would ignore is named
// with its line number.
void check_list_file(const std::optional<std::string>& path, std::string_view what,
                     std::vector<std::string>& problems) {
  if (!path) return;
  auto content = read_whole_file(*path);
  if (!content) {
    problems.push_back(cat(what, " ", *path, ": cannot be read (error.",
                           error_name(content.error()), "); the list would stay empty"));
    return;
  }
  ByteReader reader(*content);
  for (std::size_t number = 1; !reader.at_end(); ++number) {
    const std::string_view line = trim(as_text(reader.read_until_or_end(std::byte{'\n'})));
    if (line.empty() || line.front() == '#' || parse_list_entry(line)) continue;
    problems.push_back(cat(what, " ", *path, ":", number, ": ignoring unparseable entry ",
                           sanitized(line)));
  }
}

int report(std::string_view path, const std::vector<std::string>& problems, bool loaded) {
  for (const std::string& problem : problems) print_line(problem);
  const std::size_t count = problems.size();
  if (loaded && count == 0) {
    print_line(cat(path, ": configuration OK"));
    return 0;
  }
  print_line(cat(path, ": ", count, count == 1 ? " problem" : " problems",
                 loaded ? "" : "; the daemon would not start"));
  return 1;
}

}  // namespace

int check_configuration(std::string_view path) {
  logger().set_ident("tessvane");
  try {
    LoadReport notes;
    auto loaded = load_settings(path, &notes);
    if (!loaded && !notes.despite_bad_keys) {
      if (notes.problems.empty()) {
        notes.problems.push_back(cat(path, ": error.", error_name(loaded.error())));
      }
      return report(path, notes.problems, false);
    }
    const Settings& config = loaded ? *loaded : *notes.despite_bad_keys;
    check_nameservers(config, notes.problems);
    check_user(config, notes.problems);
    check_list_file(config.whitelist_file, kWhitelistName, notes.problems);
    check_list_file(config.trusted_relays_file, kTrustedRelaysName, notes.problems);
    return report(path, notes.problems, loaded.has_value());
  } catch (const std::bad_alloc&) {
    print_line(cat(path, ": error.", error_name(ErrorCode::OutOfMemory)));
    return 1;
  }
}

}  // namespace tessvane
