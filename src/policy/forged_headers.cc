#include "policy/forged_headers.h"

#include <new>
#include <vector>

#include "base/text.h"
#include "log/logger.h"
#include "policy/auth_results.h"
#include "policy/header_scan.h"

namespace tessvane {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";  // skipped before a method or value

// One forged header: its position in the stored list and its occurrence
// number among the Authentication-Results headers.
struct Removal {
  std::size_t position;
  std::uint32_t occurrence;
};

// The offset of the first wanted byte at or after position that is outside
// quoted strings and comments, or text.size().
std::size_t find_outside(std::string_view text, std::size_t position, char wanted) noexcept {
  while (position < text.size()) {
    const char c = text[position];
    if (c == wanted) return position;
    if (c == '(') {
      position = skip_comment(text, position);
    } else if (c == '"') {
      position = skip_quoted(text, position);
    } else {
      ++position;
    }
  }
  return text.size();
}

std::size_t skip_blanks_and_comments(std::string_view text, std::size_t position) noexcept {
  while (position < text.size()) {
    if (text[position] == '(') {
      position = skip_comment(text, position);
    } else if (kBlanks.find(text[position]) != std::string_view::npos) {
      ++position;
    } else {
      break;
    }
  }
  return position;
}

// Whether one result entry ("method=value ...") names method with a value.
bool entry_reports(std::string_view entry, std::string_view method) noexcept {
  entry.remove_prefix(skip_blanks_and_comments(entry, 0));
  const std::size_t equals = find_outside(entry, 0, '=');
  if (equals == entry.size()) return false;
  const std::string_view name = trim(entry.substr(0, equals));
  if (name.empty() || !iequals(name, method)) return false;
  const std::size_t value = skip_blanks_and_comments(entry, equals + 1);
  if (value >= entry.size()) return false;
  return scan_token(entry, value) > value;
}

// A log line that cannot be built for lack of memory is lost; the removals
// it reports are not affected.
template <typename... Pieces>
void log_line(Severity severity, const Pieces&... pieces) noexcept {
  if (!log_enabled(severity)) return;
  try {
    log_message(severity, cat(pieces...));
  } catch (const std::bad_alloc&) {
    return;
  }
}

bool is_forged(const HeaderField& header, std::string_view authserv_id, std::string_view method,
               bool strip_all) noexcept {
  if (!claims_authserv_id(header.value, authserv_id)) return false;
  return strip_all || reports_method(header.value, method);
}

// Queues the deletions from the last to the first; returns how many went.
std::size_t queue_deletions(MilterConnection& connection, const std::vector<Removal>& removals) {
  std::size_t queued = 0;
  for (auto it = removals.rbegin(); it != removals.rend(); ++it) {
    const auto body = delete_auth_results_body(it->occurrence);
    if (!queue_reply(connection, body)) continue;
    connection.headers.erase(connection.headers.begin() +
                             static_cast<std::ptrdiff_t>(it->position));
    ++queued;
  }
  return queued;
}

}  // namespace

bool claims_authserv_id(std::string_view value, std::string_view authserv_id) noexcept {
  const std::size_t start = value.find_first_not_of(kAsciiWhitespace);
  if (start == std::string_view::npos) return authserv_id.empty();
  value.remove_prefix(start);
  if (!istarts_with(value, authserv_id)) return false;
  if (value.size() == authserv_id.size()) return true;
  const char next = value[authserv_id.size()];
  return next == ' ' || next == '\t' || next == ';';
}

bool reports_method(std::string_view value, std::string_view method) noexcept {
  std::size_t position = find_outside(value, 0, ';');
  while (position < value.size()) {
    const std::size_t begin = position + 1;
    position = find_outside(value, begin, ';');
    if (entry_reports(value.substr(begin, position - begin), method)) return true;
  }
  return false;
}

std::array<std::byte, kDeleteAuthResultsBodySize> delete_auth_results_body(
    std::uint32_t occurrence) noexcept {
  std::array<std::byte, kDeleteAuthResultsBodySize> body{};
  std::size_t at = 0;
  body[at++] = std::byte(static_cast<std::uint8_t>(MilterResponse::ChgHeader));
  for (std::byte b : u32_be(occurrence)) body[at++] = b;
  for (char c : kAuthenticationResultsName) body[at++] = std::byte(static_cast<unsigned char>(c));
  // The NUL after the name and the NUL that ends the empty value are the
  // array's zero-initialised last two bytes.
  return body;
}

std::size_t remove_forged_auth_results(MilterConnection& connection, std::string_view authserv_id,
                                       std::string_view method, bool strip_all) noexcept {
  std::vector<Removal> removals;
  std::uint32_t occurrence = 0;
  for (std::size_t i = 0; i < connection.headers.size(); ++i) {
    const HeaderField& header = connection.headers[i];
    if (!iequals(header.name, kAuthenticationResultsName)) continue;
    ++occurrence;
    if (!is_forged(header, authserv_id, method, strip_all)) continue;
    try {
      removals.push_back({i, occurrence});
    } catch (const std::bad_alloc&) {
      // The list cannot grow: this header stays unmarked.
    }
  }
  if (removals.empty()) return 0;
  if ((connection.actions & kSmfifChgHdrs) == 0) {
    log_line(Severity::Err, "cannot remove ", removals.size(), " forged ",
             kAuthenticationResultsName, " header(s) claiming authserv-id ", authserv_id,
             ": MTA did not grant SMFIF_CHGHDRS");
    return 0;
  }
  const std::size_t queued = queue_deletions(connection, removals);
  if (queued > 0) {
    log_line(Severity::Info, "removed ", queued, " forged ", kAuthenticationResultsName,
             " header(s) claiming authserv-id ", authserv_id);
  }
  return queued;
}

}  // namespace tessvane
