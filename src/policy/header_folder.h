#pragma once
// Writes a header value while folding it (RFC 5322 2.2.3) so that lines stay
// within 78 columns where the tokens allow it. Tokens are never broken: a
// token longer than a line makes that line longer than the width.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessvane {

// The fold written between lines: CR LF and a TAB that opens the next line.
inline constexpr std::string_view kHeaderFold = "\r\n\t";

struct HeaderFolder {
  // Width of "Authentication-Results: ", where the value starts.
  static constexpr std::size_t kStartColumn = 24;
  static constexpr std::size_t kWidth = 78;

  std::string output;
  // Columns used on the current line; the TAB of a fold counts as one.
  std::size_t column = kStartColumn;
  std::size_t width = kWidth;

  // Appends separator and token, first breaking the line when the line holds
  // more than its opening column and both would pass the width; a break
  // drops the separator's trailing spaces and TABs. May throw std::bad_alloc.
  void append(std::string_view separator, std::string_view token);
  // Appends the fold unconditionally.
  void break_line();
};

}  // namespace tessvane
