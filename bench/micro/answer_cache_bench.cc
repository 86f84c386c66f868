// The answer cache at its bounds: an insert into a full cache (the eviction
// that makes room), and a hit on an answer of thousands of records.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "dns/answer_cache.h"

namespace tessvane {
namespace {

// Inserts into a cache kept full at range(0) entries, none expired, so each
// insert evicts the oldest.
void BM_InsertIntoFullCache(benchmark::State& state) {
  const auto limit = static_cast<std::uint32_t>(state.range(0));
  std::int64_t now = 1'700'000'000;
  AnswerCache cache(limit, 60, [&now] { return now; });
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < 2 * limit; ++i) names.push_back(cat("host", i, ".example"));
  for (std::uint32_t i = 0; i < limit; ++i) {
    cache.store_negative(names[i], kTypeA, NegativeKind::NameError);
  }
  std::size_t next = limit;
  for (auto _ : state) {
    cache.store_negative(names[next], kTypeA, NegativeKind::NameError);
    next = next + 1 == names.size() ? 0 : next + 1;
  }
  state.counters["entries"] = static_cast<double>(cache.size());
}
BENCHMARK(BM_InsertIntoFullCache)->Arg(1'000)->Arg(10'000)->Arg(100'000);

// A hit on 4,082 records of a 196-byte owner: the records are shared, not
// copied.
void BM_HitOnLargeAnswer(benchmark::State& state) {
  const std::string label(63, 'h');
  const std::string owner = cat(label, ".", label, ".", label, ".test");
  std::vector<ResourceRecord> records(4082, ResourceRecord{owner, "\x01\x02\x03\x04", 300, kTypeA});
  AnswerCache cache(100'000);
  cache.store_positive(owner, kTypeA, RecordList(std::move(records)));
  for (auto _ : state) {
    auto hit = cache.lookup(owner, kTypeA);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_HitOnLargeAnswer);

}  // namespace
}  // namespace tessvane
