#include "base/text.h"

namespace tessvane {

std::string_view trim(std::string_view text, std::string_view set) noexcept {
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return text.substr(text.size());
  const auto last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool istarts_with(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool iends_with(std::string_view text, std::string_view suffix) noexcept {
  return text.size() >= suffix.size() && iequals(text.substr(text.size() - suffix.size()), suffix);
}

std::string ascii_lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

void append_sanitized(std::string& out, std::string_view text) {
  if (text.empty()) {
    out.push_back('-');
    return;
  }
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(byte >= 0x21 && byte <= 0x7E ? c : '_');
  }
}

std::string sanitized(std::string_view text) {
  std::string out;
  append_sanitized(out, text);
  return out;
}

}  // namespace tessvane
