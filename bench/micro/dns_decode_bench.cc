// Decoding one DNS answer as the resolver receives it: a TXT answer carrying
// an SPF record, and an MX answer whose target name is compressed.

#include <benchmark/benchmark.h>

#include <span>
#include <string>

#include "common/bench_zone.h"
#include "dns/message.h"

namespace tessvane::bench {
namespace {

// The bench zone's answer to (name, type), built from a real query.
std::string answer_for(std::string_view name, std::uint8_t type) {
  const auto query = encode_query(0x1234, name, type);
  if (!query) return {};
  const auto answer = answer_bench_query(as_bytes(*query), "bench.test");
  return answer ? answer->message : std::string{};
}

void decode(benchmark::State& state, std::string_view name, std::uint8_t type) {
  const std::string message = answer_for(name, type);
  const auto first = decode_response(as_bytes(message));
  if (!first || first->records.size() != 1) {
    state.SkipWithError("the bench zone's answer did not decode to one record");
    return;
  }
  for (auto _ : state) {
    auto response = decode_response(as_bytes(message));
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void BM_DecodeTxtAnswer(benchmark::State& state) {
  decode(state, "d1.bench.test", kTypeTxt);
}
BENCHMARK(BM_DecodeTxtAnswer);

void BM_DecodeMxAnswer(benchmark::State& state) {
  decode(state, "typ1.bench.test", kTypeMx);
}
BENCHMARK(BM_DecodeMxAnswer);

}  // namespace
}  // namespace tessvane::bench

BENCHMARK_MAIN();
