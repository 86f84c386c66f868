#pragma once
// The scanning rules for the structured parts of an Authentication-Results
// value (RFC 8601, with RFC 5322 comments and quoted strings). The header
// writer uses them to cut its value into unbreakable tokens; the forged-header
// check uses them to read headers that arrived with the message.
//
// Each rule takes a text and a byte offset into it and returns the offset
// where the scanned piece ends. None reads past the end of the text: an
// unterminated piece ends at text.size(), and an offset beyond the end is
// treated as the end.

#include <cstddef>
#include <string_view>

namespace tessvane {

// position at '(': returns the offset just past the matching ')'. Comments
// nest; a backslash makes the next byte ordinary.
std::size_t skip_comment(std::string_view text, std::size_t position) noexcept;

// position at the opening '"': returns the offset just past the first
// unescaped '"' after it; a backslash makes the next byte ordinary.
std::size_t skip_quoted(std::string_view text, std::size_t position) noexcept;

// Returns the offset of the first space, TAB, LF, CR or '(' at or after
// position (VT and FF do not end a token); a quoted string inside the token
// is passed over whole, so its spaces and parentheses do not end it.
std::size_t scan_token(std::string_view text, std::size_t position) noexcept;

}  // namespace tessvane
