#pragma once
// Which received messages answer the query that was sent (RFC 5452 section
// 9.1). A forger who guessed the ID still has to name the very question, and
// a query reflected back (QR clear) is no answer at all.

#include "base/byte_reader.h"

namespace tessvane {

// True when reply answers query (a message built by encode_query): QR set,
// the query's ID, exactly one question, and that question the query's own:
// the same labels ignoring ASCII letter case, the same type, class IN.
// A reply too short or too malformed to tell does not match.
bool reply_matches(Bytes query, Bytes reply) noexcept;

}  // namespace tessvane
