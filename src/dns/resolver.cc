#include "dns/resolver.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/clock.h"
#include "base/text.h"
#include "log/logger.h"
#include "dns/answer_chain.h"
#include "dns/message.h"
#include "dns/reply_match.h"
#include "dns/transport.h"

namespace tessvane {

Result<Resolver> Resolver::build(const ResolverConfig& config, ResolverBuildStep* failed_step) {
  ResolverBuildStep step = ResolverBuildStep::ServerAddresses;
  try {
    std::vector<SocketAddress> addresses;
    addresses.reserve(config.nameservers.size());
    step = ResolverBuildStep::NameserverList;
    std::vector<std::string> names;
    names.reserve(config.nameservers.size());
    step = ResolverBuildStep::NameserverCopy;
    for (const auto& text : config.nameservers) {
      const auto address = parse_ip_port(text, config.port);
      if (!address) return fail(ErrorCode::InvalidNameserver);
      addresses.push_back(*address);
      names.push_back(text);
    }
    return Resolver(config, std::move(names), std::move(addresses));
  } catch (const std::bad_alloc&) {
    if (failed_step) *failed_step = step;
    return fail(ErrorCode::OutOfMemory);
  }
}

Resolver::Resolver(const ResolverConfig& config, std::vector<std::string> names,
                   std::vector<SocketAddress> addresses)
    : names_(std::move(names)),
      addresses_(std::move(addresses)),
      // A zero SO_RCVTIMEO means no time-out at all: an unanswered datagram
      // would block the thread for good, so the shortest wait is 1 ms.
      timeout_ms_(std::max<std::uint32_t>(config.timeout_ms, 1)),
      retries_(config.retries),
      cache_(config.cache_size, config.negative_ttl),
      health_(config.health) {}

Result<Answer> Resolver::query(std::string_view name, std::uint8_t type) {
  try {
    return run_query(name, type);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

Result<Answer> Resolver::run_query(std::string_view name, std::uint8_t type) {
  auto cached = cache_.lookup(name, type);
  if (!cached) return fail(cached.error());
  if (*cached) return Answer{std::move(**cached)};

  const auto id_drawn = query_ids_.next();
  if (!id_drawn) return fail(id_drawn.error());
  const std::uint16_t id = *id_drawn;
  const auto query = encode_query(id, name, type);
  if (!query) return fail(query.error());

  const std::int64_t start_ns = wall_clock_ns();
  if (health_ && !any_server_up()) {
    if (log_enabled(Severity::Warning)) {
      log_message(Severity::Warning,
                  cat("dns: ", name, " not queried, all nameservers marked down (monitor)"));
    }
    return fail(ErrorCode::DnsNoHealthyServers);
  }
  const auto received = udp_pass(*query, id);
  if (!received) return report_failure(name, type, received.error(), start_ns);

  // The UDP pass accepts only replies to this very query (reply_matches),
  // so the decoded ID needs no second comparison.
  auto response = decode_response(as_bytes(*received));
  if (!response) return fail(reply_decode_failure(response.error()));
  if (response->truncated) tcp_retry(name, *query, id, *response);
  return conclude(name, type, *response);
}

Result<std::string> Resolver::udp_pass(std::string_view query, std::uint16_t id) {
  std::optional<std::string> fallback;
  const std::size_t count = addresses_.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t index = (next_index_ + i) % count;
    if (skipped(index)) continue;
    auto reply = udp_exchange(addresses_[index], query, id, timeout_ms_, retries_);
    if (!reply) return fail(reply.error());
    if (reply->outcome == UdpOutcome::NoAnswer) continue;
    if (reply->outcome == UdpOutcome::Fallback) {
      if (log_enabled(Severity::Debug)) {
        log_message(Severity::Debug, cat("dns: ", names_[index],
                                         " returned rcode=", static_cast<unsigned>(reply->rcode),
                                         ", trying next server"));
      }
      fallback = std::move(reply->message);  // the last such response wins
      continue;
    }
    next_index_ = index + 1 == count ? 0 : index + 1;
    return std::move(reply->message);
  }
  if (fallback) return std::move(*fallback);
  return fail(ErrorCode::DnsTimeout);
}

// Starts after the server whose answer was truncated (the next index as the
// UDP pass left it) and never moves the next index.
void Resolver::tcp_retry(std::string_view name, std::string_view query, std::uint16_t id,
                         ParsedResponse& response) {
  if (log_enabled(Severity::Debug)) {
    log_message(Severity::Debug, cat("dns: ", name, " truncated over udp, retrying over tcp"));
  }
  const std::size_t count = addresses_.size();
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t index = (next_index_ + j) % count;
    if (skipped(index)) continue;
    const auto reply = tcp_exchange(addresses_[index], query, timeout_ms_);
    if (!reply) continue;
    auto decoded = decode_response(as_bytes(*reply));
    if (!decoded) {
      if (log_enabled(Severity::Debug)) {
        log_message(Severity::Debug, cat("dns: tcp reply for ", name, " unparseable err=error.",
                                         error_name(decoded.error())));
      }
      return;
    }
    if (decoded->id == id && reply_matches(as_bytes(query), as_bytes(*reply))) {
      response = std::move(*decoded);
    }
    return;
  }
  if (log_enabled(Severity::Debug)) {
    log_message(Severity::Debug, cat("dns: tcp retry for ", name, " failed err=error.",
                                     error_name(ErrorCode::DnsTimeout)));
  }
}

Result<Answer> Resolver::conclude(std::string_view name, std::uint8_t type,
                                  ParsedResponse& response) {
  if (response.rcode == kRcodeNoError) {
    keep_answer_chain(response.records, name);
    RecordList records(std::move(response.records));
    cache_.store_positive(name, type, records);
    return Answer{std::move(records)};
  }
  if (response.rcode == kRcodeNameError) {
    cache_.store_negative(name, type, NegativeKind::NameError);
    return fail(ErrorCode::DnsNameError);
  }
  if (log_enabled(Severity::Warning)) {
    log_message(Severity::Warning, cat("dns: ", name, " refused, rcode=",
                                       rcode_name(response.rcode), " from all nameservers"));
  }
  cache_.store_negative(name, type, NegativeKind::ServerFailure);
  return fail(ErrorCode::DnsServerFailure);
}

std::unexpected<ErrorCode> Resolver::report_failure(std::string_view name, std::uint8_t type,
                                                    ErrorCode error, std::int64_t start_ns) {
  if (log_enabled(Severity::Warning)) {
    const std::int64_t elapsed_ms =
        std::max<std::int64_t>(wall_clock_ns() - start_ns, 0) / 1'000'000;
    log_message(Severity::Warning, cat("dns: query ", name, " failed err=error.", error_name(error),
                                       " elapsed=", elapsed_ms, "ms"));
  }
  if (error == ErrorCode::DnsTimeout) cache_.store_negative(name, type, NegativeKind::Timeout);
  return fail(error);
}

bool Resolver::skipped(std::size_t index) const noexcept {
  return health_ != nullptr && !health_->is_up(index);
}

bool Resolver::any_server_up() const noexcept {
  for (std::size_t i = 0; i < addresses_.size(); ++i) {
    if (health_->is_up(i)) return true;
  }
  return false;
}

std::string_view resolver_build_failure_message(ErrorCode error, ResolverBuildStep step) {
  if (error == ErrorCode::InvalidNameserver) return "DNS resolver: invalid nameserver address";
  switch (step) {
    case ResolverBuildStep::ServerAddresses:
      return "DNS resolver: failed to allocate server addresses";
    case ResolverBuildStep::NameserverList:
      return "DNS resolver: failed to allocate nameserver list";
    case ResolverBuildStep::NameserverCopy: return "DNS resolver: failed to copy nameserver";
  }
  return "DNS resolver: failed to allocate server addresses";
}

ThreadResolver::ThreadResolver(ResolverConfig config) : config_(std::move(config)) {}

Result<Resolver*> ThreadResolver::get() {
  if (!resolver_) {
    auto built = Resolver::build(config_, &failed_step_);
    if (!built) return fail(built.error());
    resolver_.emplace(std::move(*built));
  }
  return &*resolver_;
}

void ThreadResolver::discard() noexcept {
  resolver_.reset();
}

}  // namespace tessvane
