#include "spf/record_selection.h"

#include "base/text.h"

namespace tessvane {
namespace {

constexpr std::string_view kVersionTag = "v=spf1";

}  // namespace

bool is_spf_record(std::string_view text) noexcept {
  if (!istarts_with(text, kVersionTag)) return false;
  return text.size() == kVersionTag.size() || text[kVersionTag.size()] == ' ' ||
         text[kVersionTag.size()] == '\t';
}

Result<std::optional<std::string_view>> select_spf_record(
    std::span<const ResourceRecord> answers) noexcept {
  std::optional<std::string_view> selected;
  for (const auto& record : answers) {
    if (record.rr_type != kTypeTxt || !is_spf_record(record.data)) continue;
    if (selected) return fail(ErrorCode::RecordSyntax);
    selected = record.data;
  }
  return selected;
}

}  // namespace tessvane
