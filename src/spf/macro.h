#pragma once
// Macro expansion (RFC 7208 7): turns a domain-spec that passed
// validate_domain_spec into the name to look up. The letters c, r and t
// (explanation text only) never get here: the parser rejects them.
//
// Errors: RecordSyntax for any malformed or unusable macro (a digit count of
// 0 or one beyond 64 bits, an unknown letter, a missing '}', a bad
// delimiter); OutOfMemory from the p lookups. Failures of the p lookups are
// otherwise absorbed into the value "unknown".

#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "base/task.h"

namespace tessvane {

struct EvalContext;

// The values the letters stand for, borrowed from the transaction.
struct MacroValues {
  std::string_view sender;     // s; l and o are derived from it
  std::string_view helo;       // h
  std::string_view client_ip;  // i (IPv6: dotted nibbles when it parses), v
  bool client_is_ipv6 = false;
  std::string_view domain;   // d: the domain whose record holds the term
  std::string_view p_value;  // p: prepared by the caller when needs_p_value
};

// True when some '%' of the text is followed by "{p" or "{P" (also the second
// '%' of a "%%" escape): the validated client names must then be looked up.
bool needs_p_value(std::string_view text) noexcept;

// The p value among the validated names: the first equal to the domain, else
// the first that is a subdomain of it, else the first; "unknown" for none.
std::string_view choose_p_value(const std::vector<std::string>& names,
                                std::string_view domain) noexcept;

// Expands text with the values given; no DNS. Error: RecordSyntax.
Result<std::string> expand_macro_text(const MacroValues& values, std::string_view text);

// Expands text for a term of the record at domain, preparing the p value
// through the context's resolver and limits when the text needs it (the only
// case in which the task waits).
Task<Result<std::string>> expand_macros(EvalContext& context, std::string_view domain,
                                        std::string_view text);

}  // namespace tessvane
