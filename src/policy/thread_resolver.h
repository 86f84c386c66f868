#pragma once
// The worker thread's DNS resolver: built from the settings on the thread's
// first evaluation that needs it, kept across that thread's messages and
// connections, and thrown away (cache included) when the worker acknowledges
// a configuration reload, so that the next evaluation builds a fresh one.

#include "base/error_code.h"
#include "config/settings.h"
#include "dns/health_marks.h"
#include "dns/resolver.h"
#include "sys/io_loop.h"

namespace tessvane {

// Stores the nameserver monitor's marks that every resolver built afterwards
// consults (nullptr: no monitor). Start-up calls it from the main thread
// before any worker starts; the marks must outlive every worker.
void set_health_marks(const HealthMarks* marks) noexcept;

// The resolver set-up the settings give: DnsNameserver, DnsTimeout in
// milliseconds, DnsRetries, DnsCacheSize, DnsNegativeTTL, the settings'
// DNS port (53: no configuration key changes it; tests point it at their
// loopback responder), the marks stored by set_health_marks, and the loop
// its lookups wait on (null: a loop of its own).
ResolverConfig resolver_config(const Settings& config, sys::IoLoop* loop = nullptr);

// The calling thread's resolver holder for loop (the worker's; null on a
// thread without one). Created on the thread's first call (and first call
// after acknowledge_reload, or with another loop) from resolver_config;
// later calls return the same holder and ignore config. The holder builds its
// resolver on its first get() (errors: those of Resolver::build); an
// evaluation keeps the resolver it got until it ends.
ThreadResolver& thread_resolver(const Settings& config = settings(),
                                sys::IoLoop* loop = nullptr);

// The worker's reload hook: releases the calling thread's resolver holder
// with its cache, nameserver copies and server addresses, then logs
// "worker: config reload acknowledged" at debug.
void acknowledge_reload() noexcept;

}  // namespace tessvane
