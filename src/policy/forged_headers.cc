#include "policy/forged_headers.h"

#include <new>
#include <vector>

#include "base/text.h"
#include "log/logger.h"
#include "policy/auth_results.h"

namespace tessvane {
namespace {

// One forged header: its position in the stored list and its occurrence
// number among the Authentication-Results headers.
struct Removal {
  std::size_t position;
  std::uint32_t occurrence;
};

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
