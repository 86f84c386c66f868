#pragma once
// The syntax of macro-strings and domain-specs in SPF terms (RFC 7208 7.1,
// 4.6.1). Only the form is checked here; expansion is macro.h's business.
// Pure functions on borrowed text; nothing is allocated.

#include <string_view>

#include "base/error_code.h"

namespace tessvane {

struct MacroStringCheck {
  // The last element scanned was a macro-expand: a %{...} macro or one of the
  // escapes %%, %- and %_.
  bool ends_with_macro_expand = false;
};

// Visible ASCII (0x21..0x7E) and macro-expands; the empty text passes. Macro
// letters s l o d i p h v (either case), then digits (not limited here), an
// optional r, delimiters from ".-+,/_=", and '}'. Errors: InvalidDomainSpec
// for a byte outside visible ASCII, InvalidMacro for any malformed '%' form
// (including the explanation-only letters c, r and t).
Result<MacroStringCheck> validate_macro_string(std::string_view text) noexcept;

// A non-empty macro-string that ends with a macro-expand or, ignoring one
// trailing dot, with a dot and a top label of letters, digits and '-' that
// holds a letter and neither begins nor ends with '-'.
// Errors: InvalidDomainSpec, InvalidMacro.
Status validate_domain_spec(std::string_view text) noexcept;

}  // namespace tessvane
