#include "spf/macro.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/text.h"
#include "net/address.h"
#include "spf/evaluation.h"
#include "spf/guarded_lookup.h"

namespace tessvane {
namespace {

constexpr std::string_view kDelimiters = ".-+,/_=";
constexpr std::string_view kUnknown = "unknown";

// One parsed macro body: "{letter}{digits}{r}{delimiters}".
struct MacroBody {
  char letter = 0;                    // lowercase
  std::optional<std::uint64_t> keep;  // digit transformer, at least 1
  bool reverse = false;
  std::string_view delimiters = ".";
};

// Reads a run of digits as an unsigned 64-bit number; empty run: nullopt.
// Sets `bad` for 0 or a value that does not fit.
std::optional<std::uint64_t> read_digits(std::string_view& body, bool& bad) {
  std::uint64_t value = 0;
  std::size_t n = 0;
  while (n < body.size() && is_ascii_digit(body[n])) {
    const auto digit = static_cast<std::uint64_t>(body[n] - '0');
    if (value > (UINT64_MAX - digit) / 10) bad = true;
    value = value * 10 + digit;
    ++n;
  }
  body.remove_prefix(n);
  if (n == 0) return std::nullopt;
  if (value == 0) bad = true;
  return value;
}

Result<MacroBody> parse_body(std::string_view body) {
  if (body.empty()) return fail(ErrorCode::RecordSyntax);
  MacroBody parsed;
  parsed.letter = ascii_lower(body.front());
  body.remove_prefix(1);
  bool bad = false;
  parsed.keep = read_digits(body, bad);
  if (bad) return fail(ErrorCode::RecordSyntax);
  if (!body.empty() && (body.front() == 'r' || body.front() == 'R')) {
    parsed.reverse = true;
    body.remove_prefix(1);
  }
  if (body.find_first_not_of(kDelimiters) != std::string_view::npos) {
    return fail(ErrorCode::RecordSyntax);
  }
  if (!body.empty()) parsed.delimiters = body;
  return parsed;
}

std::string_view local_part(std::string_view sender) {
  const auto at = sender.rfind('@');
  return at == std::string_view::npos ? std::string_view("postmaster") : sender.substr(0, at);
}

std::string_view domain_part(std::string_view sender) {
  const auto at = sender.rfind('@');
  return at == std::string_view::npos ? sender : sender.substr(at + 1);
}

// The value of a letter; `storage` holds it when it has to be computed.
Result<std::string_view> letter_value(const MacroValues& values, char letter,
                                      FixedText<63>& storage) {
  switch (letter) {
    case 's': return values.sender;
    case 'l': return local_part(values.sender);
    case 'o': return domain_part(values.sender);
    case 'd': return values.domain;
    case 'p': return values.p_value;
    case 'h': return values.helo;
    case 'v': return std::string_view(values.client_is_ipv6 ? "ip6" : "in-addr");
    case 'i': {
      if (!values.client_is_ipv6) return values.client_ip;
      auto address = parse_ip6(values.client_ip);
      if (!address) return values.client_ip;
      storage = ip6_dotted_nibbles(*address);
      return storage.view();
    }
    default: return fail(ErrorCode::RecordSyntax);
  }
}

// Splits at the delimiters, reverses, keeps the rightmost parts, joins with '.'.
void append_transformed(std::string& out, std::string_view value, const MacroBody& body) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const auto cut = value.find_first_of(body.delimiters, start);
    parts.push_back(value.substr(start, cut == std::string_view::npos ? cut : cut - start));
    if (cut == std::string_view::npos) break;
    start = cut + 1;
  }
  if (body.reverse) std::reverse(parts.begin(), parts.end());
  std::size_t first = 0;
  if (body.keep && *body.keep < parts.size()) first = parts.size() - *body.keep;
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (i != first) out.push_back('.');
    out.append(parts[i]);
  }
}

Status append_macro(std::string& out, const MacroValues& values, std::string_view body_text) {
  auto body = parse_body(body_text);
  if (!body) return fail(body.error());
  FixedText<63> storage;
  auto value = letter_value(values, body->letter, storage);
  if (!value) return fail(value.error());
  append_transformed(out, *value, *body);
  return {};
}

}  // namespace

bool needs_p_value(std::string_view text) noexcept {
  for (std::size_t i = 0; i + 2 < text.size(); ++i) {
    if (text[i] == '%' && text[i + 1] == '{' && ascii_lower(text[i + 2]) == 'p') return true;
  }
  return false;
}

std::string_view choose_p_value(const std::vector<std::string>& names,
                                std::string_view domain) noexcept {
  if (names.empty()) return kUnknown;
  for (const std::string& name : names) {
    if (iequals(name, domain)) return name;
  }
  for (const std::string& name : names) {
    if (name.size() > domain.size() + 1 && name[name.size() - domain.size() - 1] == '.' &&
        iends_with(name, domain)) {
      return name;
    }
  }
  return names.front();
}

Result<std::string> expand_macro_text(const MacroValues& values, std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    if (i + 1 == text.size()) return fail(ErrorCode::RecordSyntax);
    const char next = text[i + 1];
    if (next == '%' || next == '_' || next == '-') {
      out.append(next == '%' ? "%" : next == '_' ? " " : "%20");
      i += 2;
      continue;
    }
    if (next != '{') return fail(ErrorCode::RecordSyntax);
    const auto close = text.find('}', i + 2);
    if (close == std::string_view::npos) return fail(ErrorCode::RecordSyntax);
    auto appended = append_macro(out, values, text.substr(i + 2, close - i - 2));
    if (!appended) return fail(appended.error());
    i = close + 1;
  }
  return out;
}

Task<Result<std::string>> expand_macros(EvalContext& context, std::string_view domain,
                                        std::string_view text) {
  const SpfRequest& request = context.request;
  MacroValues values{request.sender,         request.helo, request.client_ip,
                     request.client_is_ipv6, domain,       kUnknown};
  // The names are looked up once, before expanding, whenever a p macro (or
  // an escaped "%%{p") appears; a failed lookup just leaves "unknown".
  std::vector<std::string> names;
  if (needs_p_value(text)) {
    auto validated = co_await validated_client_names(context);
    if (!validated && validated.error() == ErrorCode::OutOfMemory) {
      co_return fail(validated.error());
    }
    if (validated) names = std::move(*validated);
    values.p_value = choose_p_value(names, domain);
  }
  co_return expand_macro_text(values, text);
}

}  // namespace tessvane
