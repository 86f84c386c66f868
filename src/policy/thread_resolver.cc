#include "policy/thread_resolver.h"

#include <atomic>
#include <optional>

#include "log/logger.h"

namespace tessvane {
namespace {

// Written by start-up before the workers exist; atomic so that a reader never
// needs to know which thread wrote it.
std::atomic<const HealthMarks*> g_health_marks{nullptr};

std::optional<ThreadResolver>& thread_holder() noexcept {
  thread_local std::optional<ThreadResolver> holder;
  return holder;
}

}  // namespace

void set_health_marks(const HealthMarks* marks) noexcept {
  g_health_marks.store(marks, std::memory_order_release);
}

ResolverConfig resolver_config(const Settings& config) {
  ResolverConfig out;
  out.nameservers = config.nameservers;
  out.port = config.dns_port;
  out.timeout_ms = config.dns_timeout_ms;
  out.retries = config.dns_retries;
  out.cache_size = config.dns_cache_size;
  out.negative_ttl = config.dns_negative_ttl;
  out.health = g_health_marks.load(std::memory_order_acquire);
  return out;
}

ThreadResolver& thread_resolver(const Settings& config) {
  std::optional<ThreadResolver>& holder = thread_holder();
  if (!holder) holder.emplace(resolver_config(config));
  return *holder;
}

void acknowledge_reload() noexcept {
  thread_holder().reset();
  if (log_enabled(Severity::Debug)) log_message(Severity::Debug, "worker: config reload acknowledged");
}

}  // namespace tessvane
