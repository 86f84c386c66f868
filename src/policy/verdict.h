#pragma once
// The facts of one message that the SPF verdict depends on, as derived from
// what the codec stored, and the verdict reached from them: local submission,
// missing or malformed client address, trusted relay, whitelisted client, or
// a check_host evaluation through the thread's resolver.

#include <cstdint>
#include <optional>
#include <string_view>

#include "milter/connection.h"
#include "config/address_list.h"
#include "spf/spf_result.h"

namespace tessvane {

inline constexpr std::string_view kUnknownHelo = "unknown";
inline constexpr std::string_view kNoQueueId = "-";

// Views into the connection (or constants); valid while it is unchanged.
struct MessageFacts {
  // The client-address macro, else the connect address; absent when both are
  // empty.
  std::optional<std::string_view> client;
  // The stored sender ("<>" when none) without one leading '<' and then one
  // trailing '>'.
  std::string_view sender;
  // The stored HELO name, empty when it was sent empty; absent when none was
  // stored.
  std::optional<std::string_view> helo;
  std::string_view queue_id;
  // After the sender's last '@'; the whole sender without one.
  std::string_view sender_domain;
  char family = 'U';

  std::string_view helo_or_unknown() const noexcept { return helo ? *helo : kUnknownHelo; }
};

MessageFacts message_facts(const MilterConnection& connection) noexcept;

enum class VerdictCase : std::uint8_t {
  LocalSubmission,
  MissingAddress,
  MalformedAddress,
  TrustedRelay,
  Whitelisted,
  Evaluated,
};

struct Verdict {
  VerdictCase kind = VerdictCase::Evaluated;
  SpfResult result = SpfResult::None;
  std::string_view reason;  // static text, may be empty
  std::string_view domain;  // a view of the facts' texts
};

// The limits of the evaluation (MaxVoidLookups, MaxEvaluationMs).
struct VerdictLimits {
  std::uint64_t max_void_lookups = 2;
  std::int64_t max_evaluation_ms = 20000;
};

// The first case that applies, in the order above; the lists may be null
// (no file). An evaluation uses this thread's resolver (thread_resolver.h),
// building it when needed; a failed build is logged with its fixed message
// and gives temperror.
Verdict reach_verdict(const MessageFacts& facts, const AddressList* trusted_relays,
                      const AddressList* whitelist, VerdictLimits limits) noexcept;

// The domain check_host is asked about: the sender domain when the sender is
// non-empty and holds an '@', otherwise the HELO name or "unknown".
std::string_view evaluated_domain(const MessageFacts& facts) noexcept;

}  // namespace tessvane
