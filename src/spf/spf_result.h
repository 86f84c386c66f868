#pragma once
// The verdict of an SPF evaluation (RFC 7208 2.6), stored as 0 to 6, with the
// names used in output, logs and headers.

#include <cstdint>
#include <string_view>

namespace tessvane {

enum class SpfResult : std::uint8_t {
  None = 0,
  Neutral = 1,
  Pass = 2,
  Fail = 3,
  Softfail = 4,
  Temperror = 5,
  Permerror = 6,
};

// "none", "neutral", "pass", "fail", "softfail", "temperror", "permerror".
std::string_view spf_result_name(SpfResult result) noexcept;

}  // namespace tessvane
