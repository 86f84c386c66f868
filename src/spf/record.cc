#include "spf/record.h"

#include <array>
#include <new>

#include "base/text.h"
#include "net/address.h"
#include "spf/domain_spec.h"
#include "spf/record_selection.h"

namespace tessvane {
namespace {

constexpr std::size_t kVersionTagLength = 6;  // "v=spf1"
constexpr std::uint8_t kIp4LengthMax = 32;
constexpr std::size_t kIp4LengthDigits = 2;
constexpr std::uint8_t kIp6LengthMax = 128;
constexpr std::size_t kIp6LengthDigits = 3;

constexpr std::array kMechanismNames = {
    std::string_view("all"), std::string_view("include"), std::string_view("a"),
    std::string_view("mx"),  std::string_view("ptr"),     std::string_view("ip4"),
    std::string_view("ip6"), std::string_view("exists"),
};

struct Modifier {
  std::string_view name;
  std::string_view value;
};

// A term is a modifier when a name of letters, digits, '-', '_' and '.',
// beginning with a letter, stands before its first '='.
std::optional<Modifier> as_modifier(std::string_view term) noexcept {
  const auto equals = term.find('=');
  if (equals == std::string_view::npos || equals == 0 || !is_ascii_letter(term[0])) {
    return std::nullopt;
  }
  for (char c : term.substr(0, equals)) {
    if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '-' && c != '_' && c != '.') {
      return std::nullopt;
    }
  }
  return Modifier{term.substr(0, equals), term.substr(equals + 1)};
}

Status apply_modifier(SpfRecord& record, const Modifier& modifier) noexcept {
  const bool is_redirect = iequals(modifier.name, "redirect");
  if (!is_redirect && !iequals(modifier.name, "exp")) {
    // Unknown modifiers are checked for form and then ignored (RFC 7208 6).
    const auto check = validate_macro_string(modifier.value);
    if (!check) return fail(check.error());
    return {};
  }
  auto& slot = is_redirect ? record.redirect : record.exp;
  if (slot) return fail(ErrorCode::DuplicateModifier);
  if (const auto valid = validate_domain_spec(modifier.value); !valid) return valid;
  slot = modifier.value;
  return {};
}

bool all_digits(std::string_view text) noexcept {
  for (char c : text) {
    if (!is_ascii_digit(c)) return false;
  }
  return true;
}

// The term after its qualifier, and the length of its mechanism name.
struct Term {
  std::string_view body;
  std::size_t name_length;
};

// For kinds whose argument starts at a ':' directly after the name: the text
// after that ':'. Errors: MissingArgument (no ':'), UnknownMechanism.
Result<std::string_view> argument_after_colon(const Term& term) noexcept {
  const auto colon = term.body.find(':');
  if (colon == std::string_view::npos) return fail(ErrorCode::MissingArgument);
  if (colon != term.name_length) return fail(ErrorCode::UnknownMechanism);
  return term.body.substr(colon + 1);
}

Status parse_domain_argument(const Term& term, SpfMechanism& mechanism) noexcept {
  const auto spec = argument_after_colon(term);
  if (!spec) return fail(spec.error());
  if (const auto valid = validate_domain_spec(*spec); !valid) return valid;
  mechanism.value = *spec;
  return {};
}

Status parse_ptr_argument(const Term& term, SpfMechanism& mechanism) noexcept {
  if (term.body.size() == term.name_length) return {};
  // Without a ':' the name ended at a '/'.
  if (term.body.find(':') == std::string_view::npos) return fail(ErrorCode::UnexpectedCidr);
  return parse_domain_argument(term, mechanism);
}

Status parse_address_argument(const Term& term, SpfMechanism& mechanism) noexcept {
  const auto value = argument_after_colon(term);
  if (!value) return fail(value.error());
  const bool v4 = mechanism.kind == MechanismKind::Ip4;
  std::string_view address = *value;
  if (const auto slash = address.find('/'); slash != std::string_view::npos) {
    const auto length =
        v4 ? parse_cidr_length(address.substr(slash + 1), kIp4LengthMax, kIp4LengthDigits)
           : parse_cidr_length(address.substr(slash + 1), kIp6LengthMax, kIp6LengthDigits);
    if (!length) return fail(length.error());
    (v4 ? mechanism.ip4_length : mechanism.ip6_length) = *length;
    address = address.substr(0, slash);
  }
  if (address.empty()) return fail(ErrorCode::MissingArgument);
  if (v4 ? !parse_ip4(address).has_value() : !parse_ip6(address).has_value()) {
    return fail(ErrorCode::InvalidIp);
  }
  mechanism.value = address;
  return {};
}

// A run of digits after the last '/' of text: the index of that '/'.
std::optional<std::size_t> trailing_length_slash(std::string_view text) noexcept {
  const auto slash = text.rfind('/');
  if (slash == std::string_view::npos || slash + 1 == text.size() ||
      !all_digits(text.substr(slash + 1))) {
    return std::nullopt;
  }
  return slash;
}

// a and mx: "name[:domain-spec][/ip4-length][//ip6-length]", read from the end.
Status parse_dual_argument(const Term& term, SpfMechanism& mechanism) noexcept {
  std::string_view rest = term.body;
  if (const auto slash = trailing_length_slash(rest)) {
    const auto digits = rest.substr(*slash + 1);
    if (*slash > 0 && rest[*slash - 1] == '/') {
      const auto v6 = parse_cidr_length(digits, kIp6LengthMax, kIp6LengthDigits);
      if (!v6) return fail(v6.error());
      mechanism.ip6_length = *v6;
      rest = rest.substr(0, *slash - 1);
      if (const auto v4_slash = trailing_length_slash(rest)) {
        const auto v4 =
            parse_cidr_length(rest.substr(*v4_slash + 1), kIp4LengthMax, kIp4LengthDigits);
        if (!v4) return fail(v4.error());
        mechanism.ip4_length = *v4;
        rest = rest.substr(0, *v4_slash);
      }
    } else {
      const auto v4 = parse_cidr_length(digits, kIp4LengthMax, kIp4LengthDigits);
      if (!v4) return fail(v4.error());
      mechanism.ip4_length = *v4;
      rest = rest.substr(0, *slash);
    }
  }
  if (rest.find(':') == std::string_view::npos) {
    if (rest.size() != term.name_length) return fail(ErrorCode::InvalidCidr);
    return {};
  }
  return parse_domain_argument(Term{rest, term.name_length}, mechanism);
}

std::optional<Qualifier> qualifier_of(char c) noexcept {
  switch (c) {
    case '+': return Qualifier::Pass;
    case '-': return Qualifier::Fail;
    case '~': return Qualifier::Softfail;
    case '?': return Qualifier::Neutral;
    default: return std::nullopt;
  }
}

Result<SpfMechanism> parse_mechanism(std::string_view term) noexcept {
  SpfMechanism mechanism;
  if (const auto qualifier = term.empty() ? std::nullopt : qualifier_of(term.front())) {
    mechanism.qualifier = *qualifier;
    term.remove_prefix(1);
  }
  const auto name = term.substr(0, term.find_first_of(":/"));
  std::size_t kind = 0;
  while (kind < kMechanismNames.size() && !iequals(name, kMechanismNames[kind])) ++kind;
  if (kind == kMechanismNames.size()) return fail(ErrorCode::UnknownMechanism);
  mechanism.kind = static_cast<MechanismKind>(kind);

  const Term parts{term, name.size()};
  Status parsed;
  switch (mechanism.kind) {
    case MechanismKind::All:
      if (term.size() != name.size()) parsed = fail(ErrorCode::UnexpectedArgument);
      break;
    case MechanismKind::Include:
    case MechanismKind::Exists: parsed = parse_domain_argument(parts, mechanism); break;
    case MechanismKind::Ptr: parsed = parse_ptr_argument(parts, mechanism); break;
    case MechanismKind::Ip4:
    case MechanismKind::Ip6: parsed = parse_address_argument(parts, mechanism); break;
    case MechanismKind::A:
    case MechanismKind::Mx: parsed = parse_dual_argument(parts, mechanism); break;
  }
  if (!parsed) return fail(parsed.error());
  return mechanism;
}

Status parse_term(SpfRecord& record, std::string_view term) noexcept {
  if (const auto modifier = as_modifier(term)) return apply_modifier(record, *modifier);
  const auto mechanism = parse_mechanism(term);
  if (!mechanism) return fail(mechanism.error());
  try {
    record.mechanisms.push_back(*mechanism);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return {};
}

}  // namespace

std::string_view mechanism_name(MechanismKind kind) noexcept {
  const auto index = static_cast<std::size_t>(kind);
  return index < kMechanismNames.size() ? kMechanismNames[index] : "unknown";
}

Result<SpfRecord> parse_spf_record(std::string_view text) noexcept {
  text = trim(text, kAsciiWhitespace);
  if (!is_spf_record(text)) return fail(ErrorCode::RecordSyntax);
  SpfRecord record;
  // Terms are separated by spaces only: a tab belongs to the term it is in.
  std::string_view rest = text.substr(kVersionTagLength);
  for (auto start = rest.find_first_not_of(' '); start != std::string_view::npos;
       start = rest.find_first_not_of(' ')) {
    rest.remove_prefix(start);
    const auto term = rest.substr(0, rest.find(' '));
    rest.remove_prefix(term.size());
    if (const auto parsed = parse_term(record, term); !parsed) return fail(parsed.error());
  }
  return record;
}

}  // namespace tessvane
