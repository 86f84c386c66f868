#include "policy/auth_results_reader.h"

#include <optional>

#include "base/byte_reader.h"
#include "base/text.h"
#include "policy/header_scan.h"

namespace tessvane {
namespace {

// Folding whitespace, and the VT and FF that a lenient reader trims as well.
bool is_blank(std::uint8_t byte) noexcept {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n' || byte == '\v' ||
         byte == '\f';
}

// RFC 2045 token bytes: printable ASCII without the tspecials, and bytes of
// 0x80 and above, which RFC 6532 headers carry inside their words.
bool is_token_byte(std::uint8_t byte) noexcept {
  if (byte >= 0x80) return true;
  if (byte <= 0x20 || byte == 0x7F) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(byte)) ==
         std::string_view::npos;
}

bool at(const ByteReader& reader, char wanted) noexcept {
  const std::optional<std::uint8_t> byte = reader.peek_u8();
  return byte && *byte == static_cast<std::uint8_t>(wanted);
}

void skip_cfws(ByteReader& reader, std::string_view text) noexcept {
  while (const std::optional<std::uint8_t> byte = reader.peek_u8()) {
    if (*byte == '(') {
      reader.seek(skip_comment(text, reader.position()));
    } else if (is_blank(*byte)) {
      reader.skip(1);
    } else {
      return;
    }
  }
}

std::string_view read_token(ByteReader& reader, std::string_view text) noexcept {
  const std::size_t start = reader.position();
  while (const std::optional<std::uint8_t> byte = reader.peek_u8()) {
    if (!is_token_byte(*byte)) break;
    reader.skip(1);
  }
  return text.substr(start, reader.position() - start);
}

// A value as it stands in the text: a token, or the inside of a quoted string
// with its quoted-pairs and line breaks still in it.
struct Value {
  std::string_view raw;
  bool quoted = false;
};

// At a '"': the quoted string, or nothing when it is not closed.
std::optional<Value> read_quoted(ByteReader& reader, std::string_view text) noexcept {
  const std::size_t start = reader.position() + 1;
  reader.skip(1);
  while (const std::optional<std::uint8_t> byte = reader.read_u8()) {
    if (*byte == '\\') {
      if (!reader.skip(1)) return std::nullopt;
    } else if (*byte == '"') {
      return Value{text.substr(start, reader.position() - 1 - start), true};
    }
  }
  return std::nullopt;
}

// RFC 2045 value: a quoted string, or a non-empty token.
std::optional<Value> read_value(ByteReader& reader, std::string_view text) noexcept {
  if (at(reader, '"')) return read_quoted(reader, text);
  const std::string_view token = read_token(reader, text);
  if (token.empty()) return std::nullopt;
  return Value{token, false};
}

// Compares what the value means (quoted-pairs unescaped, CR and LF removed as
// unfolding removes them) with expected, ASCII case ignored.
bool value_equals(const Value& value, std::string_view expected) noexcept {
  if (!value.quoted) return iequals(value.raw, expected);
  std::size_t matched = 0;
  for (std::size_t i = 0; i < value.raw.size(); ++i) {
    char c = value.raw[i];
    if (c == '\r' || c == '\n') continue;
    if (c == '\\' && i + 1 < value.raw.size()) c = value.raw[++i];
    if (matched == expected.size() || ascii_lower(c) != ascii_lower(expected[matched])) {
      return false;
    }
    ++matched;
  }
  return matched == expected.size();
}

// Where an authserv-id may end: CFWS, the first ';', or the end of the field.
bool ends_authserv_id(const ByteReader& reader) noexcept {
  const std::optional<std::uint8_t> byte = reader.peek_u8();
  return !byte || is_blank(*byte) || *byte == '(' || *byte == ';';
}

// The offset of the first ';' at or after position that is outside quoted
// strings and comments, or text.size().
std::size_t next_separator(std::string_view text, std::size_t position) noexcept {
  while (position < text.size()) {
    const char c = text[position];
    if (c == ';') return position;
    if (c == '(') {
      position = skip_comment(text, position);
    } else if (c == '"') {
      position = skip_quoted(text, position);
    } else {
      ++position;
    }
  }
  return text.size();
}

// The method of the resinfo's methodspec when it reads as far as a non-empty
// result; the version after a '/' is passed over.
std::optional<std::string_view> methodspec_method(std::string_view entry) noexcept {
  ByteReader reader(entry);
  skip_cfws(reader, entry);
  const std::string_view method = read_token(reader, entry);
  if (method.empty()) return std::nullopt;
  skip_cfws(reader, entry);
  if (at(reader, '/')) {
    reader.skip(1);
    skip_cfws(reader, entry);
    read_token(reader, entry);
    skip_cfws(reader, entry);
  }
  if (!at(reader, '=')) return std::nullopt;
  reader.skip(1);
  skip_cfws(reader, entry);
  const std::optional<Value> result = read_value(reader, entry);
  if (!result || result->raw.empty()) return std::nullopt;
  return method;
}

}  // namespace

bool claims_authserv_id(std::string_view value, std::string_view authserv_id) noexcept {
  ByteReader reader(value);
  skip_cfws(reader, value);
  const std::size_t start = reader.position();
  const std::optional<Value> id = read_value(reader, value);
  if (id && ends_authserv_id(reader) && value_equals(*id, authserv_id)) return true;
  // An id that is not one token: the field's text itself must begin with it.
  const std::string_view rest = value.substr(start);
  if (authserv_id.empty() || !istarts_with(rest, authserv_id)) return false;
  ByteReader after(as_bytes(value), start + authserv_id.size());
  return ends_authserv_id(after);
}

bool reports_method(std::string_view value, std::string_view method) noexcept {
  std::size_t position = next_separator(value, 0);
  while (position < value.size()) {
    const std::size_t begin = position + 1;
    position = next_separator(value, begin);
    const std::optional<std::string_view> found =
        methodspec_method(value.substr(begin, position - begin));
    if (found && iequals(*found, method)) return true;
  }
  return false;
}

}  // namespace tessvane
