#include "policy/header_scan.h"

#include <algorithm>

namespace tessvane {

std::size_t skip_comment(std::string_view text, std::size_t position) noexcept {
  std::size_t depth = 0;
  std::size_t i = std::min(position, text.size());
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i = std::min(i + 2, text.size());
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth <= 1) return i + 1;
      --depth;
    }
    ++i;
  }
  return text.size();
}

std::size_t skip_quoted(std::string_view text, std::size_t position) noexcept {
  std::size_t i = std::min(position, text.size());
  if (i < text.size()) ++i;  // the opening quotation mark
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i = std::min(i + 2, text.size());
      continue;
    }
    if (c == '"') return i + 1;
    ++i;
  }
  return text.size();
}

std::size_t scan_token(std::string_view text, std::size_t position) noexcept {
  std::size_t i = std::min(position, text.size());
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '(') return i;
    i = c == '"' ? skip_quoted(text, i) : i + 1;
  }
  return text.size();
}

}  // namespace tessvane
