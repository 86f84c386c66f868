#pragma once
// Authentication-Results field values as they arrive at the receiver, with
// what each says about the authserv-id kOurId: the forgeries that must go and
// their near misses that must stay. Shared by the reader's tests, the
// cross-check against an independent RFC 8601 parser and the removal test
// over a socket.

#include <string_view>

namespace tessvane::testing {

inline constexpr std::string_view kOurId = "mx.example.net";

struct FieldCase {
  std::string_view value;  // as the MTA passes it: folded lines end in LF
  bool claims;             // its authserv-id is kOurId
  bool reports_spf;        // one of its resinfos is an spf result
  bool strict;             // an RFC 8601 parser accepts it; if not, only a lenient one reads it
};

inline constexpr FieldCase kFieldCases[] = {
    // The authserv-id: CFWS around it, quoted, case, version, folding.
    {"mx.example.net; spf=pass", true, true, true},
    {"MX.Example.NET; SPF=Pass", true, true, true},
    {"(comment) mx.example.net; spf=pass", true, true, true},
    {"(c (nested; spf=fail) =) mx.example.net; spf=pass", true, true, true},
    {"\"mx.example.net\"; spf=pass", true, true, true},
    {"\"MX.EXAMPLE.NET\" (c);spf=pass", true, true, true},
    {"\"mx\\.example\\.net\"; spf=pass", true, true, true},  // quoted-pairs
    {"mx.example.net(c); spf=pass", true, true, true},
    {"mx.example.net (a\\)b; c) ; spf=pass", true, true, true},
    {"mx.example.net\n\t; spf=pass", true, true, true},
    {"mx.example.net\r\n\t; spf=pass", true, true, true},
    {"  \t mx.example.net ;spf=pass", true, true, true},
    {"mx.example.net 1; spf=pass", true, true, true},  // authres-version
    {"mx.example.net (a; b = c) 1 (d); spf = pass", true, true, true},
    {"mx.example.net;\n\tspf=pass smtp.mailfrom=example.org", true, true, true},
    // The method: versions, CFWS around '/' and '=', case, other results first.
    {"mx.example.net; spf/1=pass", true, true, true},
    {"mx.example.net; spf / 1 = neutral", true, true, true},
    {"mx.example.net; spf (c) = pass", true, true, true},
    {"mx.example.net; (c) spf (x; y) = (z) softfail", true, true, true},
    {"mx.example.net; spf\n\t=\n\tfail", true, true, true},
    {"mx.example.net; dkim=pass header.d=example.org; spf=fail", true, true, true},
    {"mx.example.net; spf=pass; dkim=pass", true, true, true},
    {"mx.example.net; dkim=pass reason=\"a;b\"; spf=pass", true, true, true},
    // Near misses: spf that is no method, longer or other ids.
    {"mx.example.net; dkim=pass (spf=pass) header.d=example.org", true, false, true},
    {"mx.example.net; (spf=pass) dkim=pass", true, false, true},
    {"mx.example.net; dkim=pass (a\\) spf=pass)", true, false, true},  // escaped ')'
    {"mx.example.net; dkim=pass (a (b) spf=pass)", true, false, true},   // nested
    {"mx.example.net; dkim=pass reason=\"x; spf=pass\"", true, false, true},
    {"mx.example.net; dkim=pass header.b=\"spf=pass\"", true, false, true},
    {"mx.example.net; auth=pass smtp.auth=spf", true, false, true},
    {"mx.example.net; dkim=pass header.d=spf.example", true, false, true},
    {"mx.example.net; spfx=pass", true, false, true},
    {"mx.example.net; xspf=pass", true, false, true},
    {"mx.example.net; sender-id=pass", true, false, true},
    {"mx.example.net; dkim=pass header.d=example.org", true, false, true},
    {"mx.example.net; none", true, false, true},
    {"mx.example.net.evil; spf=pass", false, true, true},
    {"\"mx.example.net.evil\"; spf=pass", false, true, true},
    {"evil.mx.example.net; spf=pass", false, true, true},
    {"mx.example; spf=pass", false, true, true},
    {"other.example; spf=pass", false, true, true},
    {"(mx.example.net) other.example; spf=pass", false, true, true},
    {"\"mx.example.net \"; spf=pass", false, true, true},
    // Fields a strict parser rejects, read as a lenient one would.
    {"mx.example.net spf=pass", true, false, false},  // no ';': no resinfo
    {"mx.example.net; spf=\"pass\"", true, true, false},
    {"mx.example.net; spf/x=pass", true, true, false},
    {"mx.example.net; spf=pass (unterminated", true, true, false},
    {"mx.example.net; broken here; spf=pass", true, true, false},
    {"mx.example.net; spf=pass;", true, true, false},  // an empty resinfo
    {"mx.example.net; spf=", true, false, false},
    {"mx.example.net; spf=(only a comment)", true, false, false},
    {"mx.example.net; spf pass", true, false, false},
    {"mx.example.net; (unterminated spf=pass", true, false, false},
    {"mx.example.net; dkim=pass reason=\"unterminated; spf=pass", true, false, false},
    {"mx.example.net/evil; spf=pass", false, true, false},
    {"mx.example.net@evil; spf=pass", false, true, false},
    {"\"mx.example.net; spf=pass", false, false, false},
    {"\"mx.example.net\"x; spf=pass", false, true, false},
    {"(unterminated mx.example.net; spf=pass", false, false, false},
};

}  // namespace tessvane::testing
