#pragma once
// A parsed SPF record (RFC 7208 4.6, 5, 6): its mechanisms in record order
// and the redirect and exp modifiers.
//
// Ownership: every text in an SpfRecord is a view into the record text given
// to parse_spf_record, which must outlive the record. Only the mechanism list
// is allocated.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/error_code.h"

namespace tessvane {

enum class Qualifier : std::uint8_t { Pass = 0, Fail = 1, Softfail = 2, Neutral = 3 };

enum class MechanismKind : std::uint8_t {
  All = 0,
  Include = 1,
  A = 2,
  Mx = 3,
  Ptr = 4,
  Ip4 = 5,
  Ip6 = 6,
  Exists = 7,
};

// "all", "include", "a", "mx", "ptr", "ip4", "ip6", "exists".
std::string_view mechanism_name(MechanismKind kind) noexcept;

struct SpfMechanism {
  Qualifier qualifier = Qualifier::Pass;
  MechanismKind kind = MechanismKind::All;
  // The domain-spec (include, exists; a, mx, ptr when given), or the address
  // text without its prefix length (ip4, ip6).
  std::optional<std::string_view> value;
  std::optional<std::uint8_t> ip4_length;  // ip4, a, mx
  std::optional<std::uint8_t> ip6_length;  // ip6, a, mx

  friend bool operator==(const SpfMechanism&, const SpfMechanism&) = default;
};

struct SpfRecord {
  std::vector<SpfMechanism> mechanisms;
  std::optional<std::string_view> redirect;  // domain-spec
  std::optional<std::string_view> exp;       // domain-spec; validated, never evaluated

  friend bool operator==(const SpfRecord&, const SpfRecord&) = default;
};

// Parses a record text that begins with the version tag (after trimming
// ASCII whitespace). Terms are separated by runs of spaces only.
// Errors: the syntax errors UnknownMechanism, MissingArgument,
// UnexpectedArgument, UnexpectedCidr, InvalidCidr, InvalidIp,
// InvalidDomainSpec, InvalidMacro, DuplicateModifier; RecordSyntax for a text
// without the version tag; OutOfMemory when the mechanism list cannot grow.
// The first error ends the parse.
Result<SpfRecord> parse_spf_record(std::string_view text) noexcept;

}  // namespace tessvane
