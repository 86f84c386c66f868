#pragma once
// Authentication-Results headers that arrived with a message and claim this
// system's authserv-id were not written by it: finding them, and asking the
// MTA to delete them (SMFIR_CHGHEADER with an empty value).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "milter/connection.h"
#include "policy/auth_results_reader.h"

namespace tessvane {

// The SMFIR_CHGHEADER body that deletes occurrence k of the
// Authentication-Results header: 'm', k big-endian, the name, NUL, NUL.
inline constexpr std::size_t kDeleteAuthResultsBodySize = 29;
std::array<std::byte, kDeleteAuthResultsBodySize> delete_auth_results_body(
    std::uint32_t occurrence) noexcept;

// Finds the forged headers (those claiming authserv_id, read as
// auth_results_reader.h reads them; with strip_all every claiming one,
// otherwise those reporting method) and, when the MTA granted SMFIF_CHGHDRS,
// queues their deletions from the last to the first, removing each queued one
// from connection.headers. Logs the info line of the removal or the error
// line of a missing grant. Never fails: an entry that cannot be queued stays.
// Returns the number of deletions queued.
std::size_t remove_forged_auth_results(MilterConnection& connection, std::string_view authserv_id,
                                       std::string_view method, bool strip_all) noexcept;

}  // namespace tessvane
