// Feeds one text to the SPF record parser, the record selection and the
// domain-spec checks, and checks what must hold for any input: every view in
// a parsed record lies inside the text, its values pass their own checks, and
// the record written back out parses to the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "net/address.h"
#include "spf/domain_spec.h"
#include "spf/record.h"
#include "spf/record_selection.h"

namespace tessvane {
namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
  const std::less_equal<const char*> at_most;
  return at_most(whole.data(), part.data()) &&
         at_most(part.data() + part.size(), whole.data() + whole.size());
}

void check_domain_spec(std::string_view spec, std::string_view text) {
  require(inside(spec, text));
  require(validate_domain_spec(spec).has_value());
}

void check_mechanism(const SpfMechanism& m, std::string_view text) {
  switch (m.kind) {
    case MechanismKind::All: require(!m.value && !m.ip4_length && !m.ip6_length); break;
    case MechanismKind::Include:
    case MechanismKind::Exists:
    case MechanismKind::Ptr:
      require(m.kind == MechanismKind::Ptr || m.value.has_value());
      require(!m.ip4_length && !m.ip6_length);
      if (m.value) check_domain_spec(*m.value, text);
      break;
    case MechanismKind::A:
    case MechanismKind::Mx:
      require(m.ip4_length.value_or(0) <= 32 && m.ip6_length.value_or(0) <= 128);
      if (m.value) check_domain_spec(*m.value, text);
      break;
    case MechanismKind::Ip4:
      require(m.value && inside(*m.value, text) && parse_ip4(*m.value).has_value());
      require(m.ip4_length.value_or(0) <= 32 && !m.ip6_length);
      break;
    case MechanismKind::Ip6:
      require(m.value && inside(*m.value, text) && parse_ip6(*m.value).has_value());
      require(m.ip6_length.value_or(0) <= 128 && !m.ip4_length);
      break;
  }
}

// The record in canonical form: explicit qualifiers, lower-case names.
std::string written_out(const SpfRecord& record) {
  constexpr std::string_view kQualifiers = "+-~?";
  std::string out = "v=spf1";
  for (const auto& m : record.mechanisms) {
    out += cat(' ', kQualifiers[static_cast<std::size_t>(m.qualifier)], mechanism_name(m.kind));
    if (m.value) out += cat(':', *m.value);
    if (m.ip4_length) out += cat('/', unsigned{*m.ip4_length});
    if (m.ip6_length) {
      out += cat(m.kind == MechanismKind::Ip6 ? "/" : "//", unsigned{*m.ip6_length});
    }
  }
  if (record.redirect) out += cat(" redirect=", *record.redirect);
  if (record.exp) out += cat(" exp=", *record.exp);
  return out;
}

void check_record(std::string_view text) {
  const auto record = parse_spf_record(text);
  if (!record) return;
  for (const auto& m : record->mechanisms) check_mechanism(m, text);
  if (record->redirect) check_domain_spec(*record->redirect, text);
  if (record->exp) check_domain_spec(*record->exp, text);
  const std::string again = written_out(*record);
  const auto reparsed = parse_spf_record(again);
  require(reparsed.has_value() && *reparsed == *record);
}

void check_macro_string(std::string_view text) {
  const auto macro = validate_macro_string(text);
  const auto domain = validate_domain_spec(text);
  if (domain) require(macro.has_value() && !text.empty());
  if (!macro) {
    require(!domain && (text.empty() || domain.error() == macro.error()));
    return;
  }
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    require(byte >= 0x21 && byte <= 0x7E);
  }
  if (macro->ends_with_macro_expand) require(domain.has_value());
}

// Lines of the input as TXT records; a line starting with '#' is an MX
// record, which selection must ignore.
void check_selection(std::string_view text) {
  std::vector<ResourceRecord> answers;
  std::size_t spf_count = 0;
  std::size_t first_spf = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const auto end = std::min(text.find('\n', start), text.size());
    const auto line = text.substr(start, end - start);
    const bool txt = !line.starts_with('#');
    if (txt && is_spf_record(line) && spf_count++ == 0) first_spf = answers.size();
    answers.push_back(ResourceRecord{"fuzz.example", std::string(line), 0,
                                     txt ? std::uint16_t{kTypeTxt} : std::uint16_t{kTypeMx}});
    start = end + 1;
  }
  const auto selected = select_spf_record(answers);
  if (spf_count > 1) {
    require(!selected && selected.error() == ErrorCode::RecordSyntax);
  } else if (spf_count == 1) {
    require(selected && *selected && (*selected)->data() == answers[first_spf].data.data());
  } else {
    require(selected && !*selected);
  }
}

}  // namespace
}  // namespace tessvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_record(text);
  // Most inputs lack the version tag; give them one so that their terms are
  // parsed too.
  check_record(cat("v=spf1 ", text));
  check_macro_string(text);
  check_selection(text);
  return 0;
}
