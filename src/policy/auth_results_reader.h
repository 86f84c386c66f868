#pragma once
// Reads Authentication-Results field values that arrived with a message the
// way an RFC 8601 (section 2.2) parser downstream reads them, to tell which
// authserv-id a field claims and which methods it reports:
//
//   authres-payload = [CFWS] authserv-id [CFWS authres-version]
//                     ( no-result / 1*resinfo ) [CFWS]
//   authserv-id     = value               ; RFC 2045: token / quoted-string
//   resinfo         = [CFWS] ";" methodspec [CFWS reasonspec] [CFWS 1*propspec]
//   methodspec      = [CFWS] method [CFWS] "=" [CFWS] result
//   method          = Keyword [[CFWS] "/" [CFWS] method-version]
//
// Comments nest, hold quoted-pairs and may contain ';' and '='; a quoted
// string may hold anything. Both are passed over whole wherever they stand
// (RFC 5322 lexing: a '"' always opens a quoted string, a '(' outside one
// always opens a comment), so nothing inside them is read as structure.
//
// The reading leans towards finding claims, since a field is only ever read
// here to decide whether to delete it: what stands between the authserv-id
// and the first ';' is not checked, and a resinfo counts as soon as its
// methodspec reads, whatever follows it. A field that a strict parser
// rejects is so still read for what a lenient one would see in it.

#include <string_view>

namespace tessvane {

// True when the field's authserv-id equals authserv_id (ASCII case ignored):
// after CFWS, a token or a quoted string (its quoted-pairs unescaped, its
// line breaks unfolded), followed by CFWS, ';' or the end of the field. A
// configured id that no token can spell (one holding a special such as ':')
// also matches when the field begins with it, followed as above.
bool claims_authserv_id(std::string_view value, std::string_view authserv_id) noexcept;

// True when one resinfo of the field has a methodspec whose method is method
// (ASCII case ignored; a method version such as "spf/1" does not change the
// method) and whose result is a non-empty token or quoted string.
bool reports_method(std::string_view value, std::string_view method) noexcept;

}  // namespace tessvane
