#pragma once
// Which TXT string of a DNS answer is the SPF record (RFC 7208 4.5).

#include <optional>
#include <span>
#include <string_view>

#include "base/error_code.h"
#include "dns/resource_record.h"

namespace tessvane {

// "v=spf1" in any letter case, alone or followed by a space or a tab.
bool is_spf_record(std::string_view text) noexcept;

// The data of the one TXT record (in answer order; other types are ignored)
// that passes is_spf_record, as a view into that record; nothing when none
// does. Error: RecordSyntax as soon as a second one is found.
Result<std::optional<std::string_view>> select_spf_record(
    std::span<const ResourceRecord> answers) noexcept;

}  // namespace tessvane
