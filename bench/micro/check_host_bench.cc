// check_host with every answer in the resolver's cache: the cost of one
// evaluation on the message path once the sender's domain has been seen.
// The only file that calls check_host, so that a change of its interface
// touches only this one.
//
//   one lookup: "v=spf1 ip4:192.0.2.0/24 -all"
//   typical:    "v=spf1 a mx include:_spf.bench.test -all", the client matching
//               only in the include (A, MX, the MX host's A and a TXT, all cached)

#include <benchmark/benchmark.h>

#include <string>

#include "dns/resolver.h"
#include "micro/loopback_zone_server.h"
#include "spf/check_host.h"

namespace tessvane::bench {
namespace {

SpfResult evaluate(Resolver& resolver, const SpfRequest& request, std::string_view domain) {
  EvalLimits limits = start_eval_limits(2, 20000, budget_clock_ms());
  EvalContext context{resolver, request, limits};
  return classify_outcome(check_host(context, domain, false)).result;
}

void cached_check_host(benchmark::State& state, std::string_view domain) {
  LoopbackZoneServer server;
  ResolverConfig config;
  config.nameservers = {"127.0.0.1"};
  config.port = server.port();
  config.timeout_ms = 1000;
  auto resolver = Resolver::build(config);
  if (server.port() == 0 || !resolver) {
    state.SkipWithError("no loopback zone server or resolver");
    return;
  }
  const std::string sender = "user@" + std::string(domain);
  const SpfRequest request{"192.0.2.10", sender, "mail.example", false};
  // The first evaluation asks the server and fills the cache.
  if (evaluate(*resolver, request, domain) != SpfResult::Pass) {
    state.SkipWithError("the first evaluation did not pass");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluate(*resolver, request, domain));
  }
}

void BM_CheckHostCachedOneLookup(benchmark::State& state) {
  cached_check_host(state, "d1.bench.test");
}
BENCHMARK(BM_CheckHostCachedOneLookup);

void BM_CheckHostCachedTypical(benchmark::State& state) {
  cached_check_host(state, "typ1.bench.test");
}
BENCHMARK(BM_CheckHostCachedTypical);

}  // namespace
}  // namespace tessvane::bench

BENCHMARK_MAIN();
