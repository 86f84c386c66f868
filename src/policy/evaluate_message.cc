#include "policy/evaluate_message.h"

#include <new>
#include <optional>

#include "base/clock.h"
#include "base/text.h"
#include "config/list_holder.h"
#include "log/fixed_line.h"
#include "log/logger.h"
#include "config/settings.h"
#include "policy/auth_results.h"
#include "policy/forged_headers.h"
#include "policy/publisher.h"
#include "policy/thread_resolver.h"
#include "policy/verdict.h"

namespace tessvane {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
// The method this system reports, by which a forged header is known.
constexpr std::string_view kSpfMethodName = "spf";

// The start of every verdict line: "id=... peer=name[address] client=... from=...".
void line_head(FixedLine& line, const MessageFacts& facts, const PeerIdentity& peer,
               std::string_view client) noexcept {
  line << "id=";
  line.sanitized(facts.queue_id) << " peer=";
  line.sanitized(peer.name) << "[";
  line.sanitized(peer.address) << "] client=";
  line.sanitized(client) << " from=";
  line.sanitized(facts.sender);
}

// Floor division, so that a clock step backwards still gives whole ms.
std::int64_t elapsed_ms(std::int64_t start_ns) noexcept {
  const std::int64_t ns = wall_clock_ns() - start_ns;
  return ns >= 0 ? ns / kNsPerMs : -((-ns + kNsPerMs - 1) / kNsPerMs);
}

// Built in fixed buffers of one log line: the line of every message costs no
// allocation.
void log_verdict(const MessageFacts& facts, const PeerIdentity& peer, const Verdict& verdict,
                 std::int64_t start_ns) noexcept {
  if (!log_enabled(Severity::Info)) return;
  const std::string_view result = spf_result_name(verdict.result);
  const std::int64_t elapsed = elapsed_ms(start_ns);
  const std::string_view client = facts.client ? *facts.client : std::string_view{};
  FixedLine line;
  line_head(line, facts, peer, client);
  switch (verdict.kind) {
    case VerdictCase::TrustedRelay: line << " result=none reason=trusted-relay"; break;
    case VerdictCase::Whitelisted: line << " result=pass (whitelisted)"; break;
    case VerdictCase::Evaluated: line << " result=" << result; break;
    default: line << " result=" << result << " reason=" << verdict.reason; break;
  }
  line << " elapsed=";
  line.signed_number(elapsed) << "ms";
  log_message(Severity::Info, line.text());
  if (verdict.kind == VerdictCase::Evaluated && !verdict.reason.empty()) {
    FixedLine reason;
    reason << "id=";
    reason.sanitized(facts.queue_id) << " domain=";
    reason.sanitized(verdict.domain) << " result=" << result << " reason=" << verdict.reason;
    log_message(Severity::Info, reason.text());
  }
}

void publish_verdict(const MessageFacts& facts, const Verdict& verdict) noexcept {
  if (verdict.kind == VerdictCase::TrustedRelay || verdict.kind == VerdictCase::Whitelisted) {
    return;
  }
  publish_result(publisher_for_thread(), facts.client ? *facts.client : std::string_view{},
                 facts.helo_or_unknown(), facts.sender, spf_result_name(verdict.result),
                 verdict.domain);
}

Status record_verdict(MilterConnection& connection, const Settings& config,
                      const MessageFacts& facts, const Verdict& verdict) {
  std::string_view comment = verdict.reason;
  std::optional<std::string_view> client = facts.client;
  switch (verdict.kind) {
    case VerdictCase::LocalSubmission:
    case VerdictCase::MissingAddress:
    case VerdictCase::MalformedAddress: client.reset(); break;
    case VerdictCase::Evaluated: comment = {}; break;
    default: break;
  }
  return add_authentication_results(connection, config.authserv_id, spf_result_name(verdict.result),
                                    comment, verdict.domain, facts.helo_or_unknown(), client);
}

Task<MilterResponse> answer_message(MilterConnection& connection, sys::IoLoop* loop,
                                    std::int64_t start_ns) {
  const Settings& config = settings();
  const AddressList* trusted_relays = trusted_relays_holder().current();
  const AddressList* whitelist = whitelist_holder().current();
  remove_forged_auth_results(connection, config.authserv_id, kSpfMethodName,
                             config.strip_auth_results);
  const MessageFacts facts = message_facts(connection);
  const Verdict verdict = co_await reach_verdict(
      facts, trusted_relays, whitelist, {config.max_void_lookups, config.max_evaluation_ms}, loop);
  log_verdict(facts, peer_identity(connection), verdict, start_ns);
  publish_verdict(facts, verdict);
  const Status recorded = record_verdict(connection, config, facts, verdict);
  if (recorded) co_return MilterResponse::Accept;
  if (log_enabled(Severity::Err)) {
    log_message(Severity::Err, cat("deferring: could not record the ", kSpfMethodName, " result (",
                                   error_name(recorded.error()),
                                   "); delivering without it would misrepresent what was "
                                   "checked."));
  }
  co_return MilterResponse::TempFail;
}

Task<MilterResponse> evaluate_on(MilterConnection& connection, sys::IoLoop* loop) {
  const std::int64_t start_ns = wall_clock_ns();
  try {
    const MilterResponse response = co_await answer_message(connection, loop, start_ns);
    co_return response;
  } catch (const std::bad_alloc&) {
    // A log line could not be built; everything after it, the verdict
    // header included, was skipped, so the message cannot be vouched for.
    co_return MilterResponse::TempFail;
  }
}

}  // namespace

Task<MilterResponse> evaluate_message(MilterConnection& connection, sys::IoLoop& loop) {
  return evaluate_on(connection, &loop);
}

MilterResponse evaluate_message_here(MilterConnection& connection) {
  try {
    Task<MilterResponse> task = evaluate_on(connection, nullptr);
    task.start(nullptr);
    while (!task.done()) {
      // Not done: it waits on the thread resolver's own loop.
      Result<std::shared_ptr<Resolver>> resolver = thread_resolver().get();
      sys::LocalLoop* loop = resolver ? (*resolver)->own_loop() : nullptr;
      if (loop == nullptr || !loop->run_once()) return MilterResponse::TempFail;
    }
    return task.take_result();
  } catch (const std::bad_alloc&) {
    return MilterResponse::TempFail;
  }
}

}  // namespace tessvane
