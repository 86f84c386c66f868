// Feeds Authentication-Results values to the reader that decides which of
// the headers arriving with a message are forged, with an authserv-id and a
// method taken from the input, and checks what must hold for any input: the
// reading ignores ASCII case, a leading comment changes nothing, and a value
// that starts with the id as a token followed by a resinfo claims it.
//
// Input: the id up to the first line feed, then the value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "policy/auth_results_reader.h"

namespace tessvane {
namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// RFC 2045 token bytes, as the reader takes them.
bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) continue;
    if (byte <= 0x20 || byte == 0x7F) return false;
    if (std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos) return false;
  }
  return true;
}

}  // namespace
}  // namespace tessvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessvane;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\n');
  const std::string_view id = input.substr(0, cut);
  const std::string_view value = cut == std::string_view::npos ? "" : input.substr(cut + 1);

  const bool claims = claims_authserv_id(value, id);
  require(claims == claims_authserv_id(value, ascii_upper(id)));
  require(claims == claims_authserv_id(ascii_upper(value), id));
  const bool reports = reports_method(value, id);
  require(reports == reports_method(value, ascii_upper(id)));
  require(reports == reports_method(ascii_upper(value), id));
  if (is_token(id)) {
    require(claims == claims_authserv_id("(a comment) " + std::string(value), id));
    const std::string forged = std::string(id) + "; spf=pass smtp.mailfrom=" + std::string(value);
    require(claims_authserv_id(forged, id));
    require(reports_method(forged, "SPF"));
    require(reports_method("x; " + std::string(id) + "=pass", id));
  }
  return 0;
}
