#include "dns/answer_chain.h"

#include <algorithm>
#include <array>
#include <utility>

#include "base/text.h"

namespace tessvane {
namespace {

std::string_view without_outer_dots(std::string_view name) noexcept {
  if (name.starts_with('.')) name.remove_prefix(1);
  if (name.ends_with('.')) name.remove_suffix(1);
  return name;
}

}  // namespace

void keep_answer_chain(std::vector<ResourceRecord>& records, std::string_view query_name) {
  std::array<std::string_view, kMaxCnameChain + 1> chain{without_outer_dots(query_name)};
  std::size_t length = 1;
  const auto in_chain = [&](std::string_view name) {
    return std::any_of(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(length),
                       [&](std::string_view link) { return iequals(link, name); });
  };
  while (length < chain.size()) {
    const auto alias = std::find_if(records.begin(), records.end(), [&](const ResourceRecord& r) {
      return r.rr_type == kTypeCname && iequals(r.name, chain[length - 1]);
    });
    if (alias == records.end() || in_chain(alias->data)) break;  // the end, or a loop
    chain[length++] = alias->data;
  }
  // Decided before anything moves: the chain views the records' own strings.
  std::vector<bool> keep(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) keep[i] = in_chain(records[i].name);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!keep[i]) continue;
    if (kept != i) records[kept] = std::move(records[i]);
    ++kept;
  }
  records.resize(kept);
}

}  // namespace tessvane
