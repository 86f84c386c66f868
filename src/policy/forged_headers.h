#pragma once
// Authentication-Results headers that arrived with a message and claim this
// system's authserv-id were not written by it: finding them, and asking the
// MTA to delete them (SMFIR_CHGHEADER with an empty value).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "milter/connection.h"

namespace tessvane {

// True when value, after leading " \t\n\r\v\f", begins with authserv_id
// (ASCII case ignored) and ends there or goes on with a space, TAB or ';'.
bool claims_authserv_id(std::string_view value, std::string_view authserv_id) noexcept;

// True when one result of the value (the entries after the first ';' outside
// quoted strings and comments) names method (ASCII case ignored) with a
// non-empty result token.
bool reports_method(std::string_view value, std::string_view method) noexcept;

// The SMFIR_CHGHEADER body that deletes occurrence k of the
// Authentication-Results header: 'm', k big-endian, the name, NUL, NUL.
inline constexpr std::size_t kDeleteAuthResultsBodySize = 29;
std::array<std::byte, kDeleteAuthResultsBodySize> delete_auth_results_body(
    std::uint32_t occurrence) noexcept;

// Finds the forged headers (claiming ones; with strip_all every claiming one,
// otherwise those reporting method) and, when the MTA granted SMFIF_CHGHDRS,
// queues their deletions from the last to the first, removing each queued one
// from connection.headers. Logs the info line of the removal or the error
// line of a missing grant. Never fails: an entry that cannot be queued stays.
// Returns the number of deletions queued.
std::size_t remove_forged_auth_results(MilterConnection& connection, std::string_view authserv_id,
                                       std::string_view method, bool strip_all) noexcept;

}  // namespace tessvane
