#pragma once
// Small byte-string helpers. All texts are byte strings: "ASCII" operations
// touch only the 26 letters and leave every other byte alone.

#include <concepts>
#include <string>
#include <string_view>

namespace tessvane {

// Space, TAB, LF, CR, VT, FF: the set trimmed from configuration lines, list
// file lines and SPF record texts.
inline constexpr std::string_view kAsciiWhitespace = " \t\n\r\v\f";
inline constexpr std::string_view kSpaceTab = " \t";

std::string_view trim(std::string_view text, std::string_view set = kAsciiWhitespace) noexcept;

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool is_ascii_letter(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool is_ascii_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

bool iequals(std::string_view a, std::string_view b) noexcept;
bool istarts_with(std::string_view text, std::string_view prefix) noexcept;
bool iends_with(std::string_view text, std::string_view suffix) noexcept;

std::string ascii_lowercase(std::string_view text);

// Appends text with every byte outside 0x21..0x7E replaced by '_'; an empty
// text is written as "-". This is how peer-supplied strings reach log lines.
void append_sanitized(std::string& out, std::string_view text);
std::string sanitized(std::string_view text);

namespace text_detail {
inline void append_piece(std::string& out, std::string_view piece) {
  out.append(piece);
}
inline void append_piece(std::string& out, char c) {
  out.push_back(c);
}
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void append_piece(std::string& out,
                                                                             T value) {
  out.append(std::to_string(value));
}
}  // namespace text_detail

// Joins texts, characters and integers (decimal) into one string; the way log
// lines and messages are built (the standard library here has no <format>).
template <typename... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (text_detail::append_piece(out, pieces), ...);
  return out;
}

}  // namespace tessvane
