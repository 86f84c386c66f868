#pragma once
// The bench's DNS zone, generated from the question rather than stored, so
// that any number of sender domains exists without a zone file:
//
//   TXT  _spf.<zone>        "v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 -all"
//   TXT  typ*.<...><zone>   "v=spf1 a mx include:_spf.<zone> -all" (a typical record)
//   TXT  any other name     "v=spf1 ip4:192.0.2.0/24 -all" (one lookup)
//   A    any name           198.51.100.1
//   MX   any name           10 mx.<zone>
//   any other type          no records (code 0)
//   names outside <zone>    code 3 (no such name)
//
// Names under slow.<zone> are flagged so a server can delay their answers.
// Owner names of answers are compressed pointers to the question.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessvane::bench {

struct ZoneAnswer {
  std::string message;
  bool slow = false;  // the name lies under slow.<zone>
};

// The response to one query message; nullopt when it is not a query with a
// readable question (such datagrams are dropped). zone is lower case, without
// a trailing dot.
std::optional<ZoneAnswer> answer_bench_query(std::span<const std::byte> query,
                                             std::string_view zone);

}  // namespace tessvane::bench
