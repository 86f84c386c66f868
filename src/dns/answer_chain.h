#pragma once
// Which answer records speak about the question at all. A reply may carry
// records for any owner; only those of the queried name, and of the names its
// CNAME records lead to within the same answer, are about what was asked
// (RFC 5452 section 9.1; RFC 2181 section 5.4.1 ranks the rest as untrusted).

#include <cstddef>
#include <string_view>
#include <vector>

#include "dns/resource_record.h"

namespace tessvane {

// CNAME records followed from the queried name at most; names further down a
// longer chain are not used.
inline constexpr std::size_t kMaxCnameChain = 16;

// Drops every record whose owner is neither query_name (the text given to
// encode_query: one leading and one trailing dot do not count) nor a name
// reached from it through the CNAME records among records, comparing names
// without regard to ASCII letter case. The others keep their order.
void keep_answer_chain(std::vector<ResourceRecord>& records, std::string_view query_name);

}  // namespace tessvane
