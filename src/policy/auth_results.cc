#include "policy/auth_results.h"

#include <utility>

#include "base/text.h"
#include "milter/protocol.h"
#include "policy/header_folder.h"
#include "policy/header_scan.h"

namespace tessvane {
namespace {

constexpr char kUnprintable = '?';
// The 4-byte big-endian index that places the header before all others.
constexpr std::string_view kFirstHeaderIndex{"\0\0\0\0", 4};

// Control bytes, DEL, and bytes of 0x80 and above, which would make the
// header 8-bit (RFC 5322 fields are printable ASCII).
bool is_unprintable(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte >= 0x7F;
}

bool is_bare_value_byte(char c) noexcept {
  return is_ascii_letter(c) || is_ascii_digit(c) || c == '-' || c == '.' || c == '@' || c == '_';
}

bool can_be_bare(std::string_view value) noexcept {
  if (value.empty()) return false;
  for (const char c : value) {
    if (!is_bare_value_byte(c)) return false;
  }
  return true;
}

void append_property(std::string& out, std::string_view name, std::string_view value) {
  out.append(" smtp.");
  out.append(name);
  out.push_back('=');
  append_property_value(out, value);
}

// Items 3 to 7 of the value, unfolded.
std::string result_information(std::string_view result, std::string_view comment,
                               std::string_view mail_from, std::string_view helo,
                               std::optional<std::string_view> client_ip) {
  std::string text = cat("spf=", result);
  if (!comment.empty()) {
    text.append(" (");
    append_comment_text(text, comment);
    text.push_back(')');
  }
  if (client_ip) append_property(text, "client-ip", *client_ip);
  append_property(text, "mailfrom", mail_from);
  append_property(text, "helo", helo);
  return text;
}

// Cuts text into comments and tokens and folds them in. Every step moves
// forward: the byte at start is neither whitespace nor a token stopper other
// than '(', and skip_comment passes at least that '('.
void fold_tokens(HeaderFolder& folder, std::string_view text) {
  std::size_t position = 0;
  bool first = true;
  while (position < text.size()) {
    const std::size_t start = text.find_first_not_of(kAsciiWhitespace, position);
    if (start == std::string_view::npos) break;
    const std::size_t end =
        text[start] == '(' ? skip_comment(text, start) : scan_token(text, start);
    const bool spaced = start > position && !first;
    folder.append(spaced ? " " : "", text.substr(start, end - start));
    first = false;
    position = end;
  }
}

}  // namespace

void append_property_value(std::string& out, std::string_view value) {
  if (can_be_bare(value)) {
    out.append(value);
    return;
  }
  out.push_back('"');
  for (const char c : value) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(is_unprintable(c) ? kUnprintable : c);
  }
  out.push_back('"');
}

void append_comment_text(std::string& out, std::string_view comment) {
  for (const char c : comment) {
    if (c == '(' || c == ')' || c == '\\') out.push_back('\\');
    out.push_back(is_unprintable(c) ? kUnprintable : c);
  }
}

std::string authentication_results_value(std::string_view authserv_id, std::string_view result,
                                         std::string_view comment, std::string_view mail_from,
                                         std::string_view helo,
                                         std::optional<std::string_view> client_ip) {
  HeaderFolder folder;
  folder.append("", authserv_id);
  folder.output.push_back(';');
  folder.break_line();
  fold_tokens(folder, result_information(result, comment, mail_from, helo, client_ip));
  return std::move(folder.output);
}

Result<std::string> insheader_reply(std::string_view folded_value) {
  if (folded_value.find('\0') != std::string_view::npos) return fail(ErrorCode::InvalidArgument);
  std::string body;
  body.reserve(1 + kFirstHeaderIndex.size() + kAuthenticationResultsName.size() + 1 +
               folded_value.size() + 1);
  body.push_back(static_cast<char>(MilterResponse::InsHeader));
  body.append(kFirstHeaderIndex);
  body.append(kAuthenticationResultsName);
  body.push_back('\0');
  for (std::size_t i = 0; i < folded_value.size(); ++i) {
    const bool crlf =
        folded_value[i] == '\r' && i + 1 < folded_value.size() && folded_value[i + 1] == '\n';
    if (!crlf) body.push_back(folded_value[i]);
  }
  body.push_back('\0');
  return body;
}

}  // namespace tessvane
