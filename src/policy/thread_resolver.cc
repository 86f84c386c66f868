#include "policy/thread_resolver.h"

#include <atomic>
#include <optional>

#include "log/logger.h"

namespace tessvane {
namespace {

// Written by start-up before the workers exist; atomic so that a reader never
// needs to know which thread wrote it.
std::atomic<const HealthMarks*> g_health_marks{nullptr};

struct Holder {
  std::optional<ThreadResolver> resolver;
  sys::IoLoop* loop = nullptr;
};

Holder& thread_holder() noexcept {
  thread_local Holder holder;
  return holder;
}

}  // namespace

void set_health_marks(const HealthMarks* marks) noexcept {
  g_health_marks.store(marks, std::memory_order_release);
}

ResolverConfig resolver_config(const Settings& config, sys::IoLoop* loop) {
  ResolverConfig out;
  out.nameservers = config.nameservers;
  out.port = config.dns_port;
  out.timeout_ms = config.dns_timeout_ms;
  out.retries = config.dns_retries;
  out.cache_size = config.dns_cache_size;
  out.negative_ttl = config.dns_negative_ttl;
  out.health = g_health_marks.load(std::memory_order_acquire);
  out.loop = loop;
  return out;
}

ThreadResolver& thread_resolver(const Settings& config, sys::IoLoop* loop) {
  Holder& holder = thread_holder();
  // A resolver waits on the loop it was built for; a thread that runs
  // another loop now (a new worker on a test's thread) needs a new one.
  if (holder.resolver && holder.loop != loop) holder.resolver.reset();
  if (!holder.resolver) {
    holder.resolver.emplace(resolver_config(config, loop));
    holder.loop = loop;
  }
  return *holder.resolver;
}

void acknowledge_reload() noexcept {
  thread_holder().resolver.reset();
  if (log_enabled(Severity::Debug)) log_message(Severity::Debug, "worker: config reload acknowledged");
}

}  // namespace tessvane
