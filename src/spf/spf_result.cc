#include "spf/spf_result.h"

#include <array>

namespace tessvane {

std::string_view spf_result_name(SpfResult result) noexcept {
  static constexpr std::array<std::string_view, 7> kNames = {
      "none", "neutral", "pass", "fail", "softfail", "temperror", "permerror"};
  const auto index = static_cast<std::size_t>(result);
  return index < kNames.size() ? kNames[index] : std::string_view("permerror");
}

}  // namespace tessvane
