#include "dns/answer_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "dns/message.h"
#include "dns/wire.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

using Records = std::vector<ResourceRecord>;

ResourceRecord a_record(std::string name, std::uint32_t ttl,
                        std::string data = "\x01\x02\x03\x04") {
  return {std::move(name), std::move(data), ttl, kTypeA};
}

// A cache whose clock the test moves.
class AnswerCacheTest : public ::testing::Test {
 protected:
  AnswerCache make(std::uint32_t limit, std::uint32_t negative_ttl = 0) {
    return AnswerCache(limit, negative_ttl, [this] { return now_; });
  }
  // True when the question is a live positive entry.
  static bool hit(AnswerCache& cache, std::string_view name, std::uint8_t type = kTypeA) {
    const auto result = cache.lookup(name, type);
    return result && result->has_value();
  }
  // True when the question is a miss: neither live positive nor negative.
  static bool miss(AnswerCache& cache, std::string_view name, std::uint8_t type = kTypeA) {
    const auto result = cache.lookup(name, type);
    return result && !result->has_value();
  }
  void store(AnswerCache& cache, std::string_view name, std::uint32_t ttl = 300) {
    cache.store_positive(name, kTypeA, Records{a_record(std::string(name), ttl)});
  }

  std::int64_t now_ = 1'700'000'000;
};

TEST(CacheKey, LowersOnlyAsciiLettersAndKeepsTheTrailingDot) {
  EXPECT_EQ(cache_key("Mail.Example.COM", 16), "mail.example.com:16");
  EXPECT_EQ(cache_key("example.com.", 1), "example.com.:1");
  EXPECT_EQ(cache_key("\xC3\x84-Z_9", 255), "\xC3\x84-z_9:255");
  EXPECT_EQ(cache_key("", 28), ":28");
}

TEST_F(AnswerCacheTest, HitReturnsTheRecordsInStoredOrderAndSharesLetterCase) {
  AnswerCache cache = make(10);
  const Records records = {a_record("Example.com", 300, "first"),
                           {"Example.com", "alias.test", 300, kTypeCname},
                           a_record("Example.com", 300, "third")};
  cache.store_positive("Example.com", kTypeA, records);
  const auto result = cache.lookup("EXAMPLE.COM", kTypeA);
  ASSERT_TRUE(result);
  ASSERT_TRUE(result->has_value());
  EXPECT_EQ(**result, RecordList(records));
  EXPECT_FALSE(hit(cache, "example.com.", kTypeA));
  EXPECT_FALSE(hit(cache, "example.com", kTypeAaaa));
  EXPECT_EQ(cache.size(), 1u);
}

TEST_F(AnswerCacheTest, EmptyAnswerIsNotStored) {
  AnswerCache cache = make(10);
  cache.store_positive("example.com", kTypeA, {});
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_FALSE(hit(cache, "example.com"));
}

struct LifetimeCase {
  std::vector<std::uint32_t> ttls;
  std::int64_t lifetime;
};

class PositiveLifetime : public AnswerCacheTest,
                         public ::testing::WithParamInterface<LifetimeCase> {};

TEST_P(PositiveLifetime, SmallestTtlWithinBounds) {
  AnswerCache cache = make(10);
  Records records;
  for (std::size_t i = 0; i < GetParam().ttls.size(); ++i) {
    // The smallest TTL may sit on a record of another type (a CNAME).
    records.push_back({"q.test", "x", GetParam().ttls[i], i % 2 ? kTypeCname : kTypeTxt});
  }
  cache.store_positive("q.test", kTypeTxt, records);
  const std::int64_t start = now_;
  now_ = start + GetParam().lifetime - 1;
  EXPECT_TRUE(hit(cache, "q.test", kTypeTxt));
  now_ = start + GetParam().lifetime;
  EXPECT_FALSE(hit(cache, "q.test", kTypeTxt));
}

INSTANTIATE_TEST_SUITE_P(Table, PositiveLifetime,
                         ::testing::Values(LifetimeCase{{300, 60}, 60}, LifetimeCase{{300, 45}, 45},
                                           LifetimeCase{{0}, 30}, LifetimeCase{{31}, 31},
                                           LifetimeCase{{30}, 30}, LifetimeCase{{86400}, 86400},
                                           LifetimeCase{{100000}, 86400},
                                           LifetimeCase{{0x80000000u, 4000}, 4000},
                                           LifetimeCase{{0xFFFFFFFFu}, 86400}));

TEST_F(AnswerCacheTest, NegativeEntriesGiveTheirKindsErrorForTheNegativeTtl) {
  AnswerCache cache = make(10, 120);
  cache.store_negative("gone.test", kTypeTxt, NegativeKind::NameError);
  cache.store_negative("broken.test", kTypeTxt, NegativeKind::ServerFailure);
  cache.store_negative("silent.test", kTypeTxt, NegativeKind::Timeout);
  const std::int64_t start = now_;
  now_ = start + 119;
  EXPECT_EQ(cache.lookup("gone.test", kTypeTxt).error(), ErrorCode::DnsNameError);
  EXPECT_EQ(cache.lookup("BROKEN.test", kTypeTxt).error(), ErrorCode::DnsServerFailure);
  EXPECT_EQ(cache.lookup("silent.test", kTypeTxt).error(), ErrorCode::DnsTimeout);
  now_ = start + 120;
  for (const char* name : {"gone.test", "broken.test", "silent.test"}) {
    EXPECT_TRUE(miss(cache, name, kTypeTxt)) << name;
  }
}

TEST_F(AnswerCacheTest, ZeroSettingsTakeTheDefaults) {
  AnswerCache cache = make(0, 0);
  EXPECT_EQ(cache.limit(), 1000u);
  EXPECT_EQ(cache.negative_ttl(), 60u);
  cache.store_negative("n.test", kTypeA, NegativeKind::Timeout);
  now_ += 59;
  EXPECT_EQ(cache.lookup("n.test", kTypeA).error(), ErrorCode::DnsTimeout);
  now_ += 1;
  EXPECT_TRUE(miss(cache, "n.test"));

  for (int i = 0; i < 1001; ++i) store(cache, cat("host", i, ".test"));
  EXPECT_EQ(cache.size(), 1000u);
  EXPECT_FALSE(hit(cache, "host0.test"));
  EXPECT_TRUE(hit(cache, "host1.test"));
  EXPECT_TRUE(hit(cache, "host1000.test"));
}

TEST_F(AnswerCacheTest, FullCacheEvictsTheFirstInsertedEvenWhenItWasJustHit) {
  AnswerCache cache = make(3);
  store(cache, "a.test");
  store(cache, "b.test");
  store(cache, "c.test");
  EXPECT_TRUE(hit(cache, "a.test"));
  store(cache, "d.test");
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_FALSE(hit(cache, "a.test"));
  EXPECT_TRUE(hit(cache, "b.test"));
  EXPECT_TRUE(hit(cache, "d.test"));
}

TEST_F(AnswerCacheTest, FullCacheEvictsAnExpiredEntryBeforeTheOldest) {
  AnswerCache cache = make(3);
  store(cache, "a.test", 300);
  store(cache, "b.test", 30);
  store(cache, "c.test", 300);
  now_ += 30;  // b has expired
  store(cache, "d.test");
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_TRUE(hit(cache, "a.test"));
  EXPECT_TRUE(hit(cache, "c.test"));
  EXPECT_TRUE(hit(cache, "d.test"));
  EXPECT_FALSE(hit(cache, "b.test"));
  // b is gone, not just expired: a fourth question now removes a.
  store(cache, "e.test");
  EXPECT_FALSE(hit(cache, "a.test"));
}

TEST_F(AnswerCacheTest, ExpiredEntryIsAMissStaysInPlaceAndKeepsItsPositionWhenRestored) {
  testing::LogCapture log;
  AnswerCache cache = make(3);
  store(cache, "a.test", 30);
  store(cache, "b.test", 300);
  now_ += 30;
  const auto expired = cache.lookup("A.test", kTypeA);
  ASSERT_TRUE(expired);
  EXPECT_FALSE(expired->has_value());
  EXPECT_EQ(log.take_texts(), std::vector<std::string>{"dns: cache miss A.test"});
  EXPECT_EQ(cache.size(), 2u);

  // The new outcome overwrites the old entry without making it younger.
  cache.store_negative("a.test", kTypeA, NegativeKind::ServerFailure);
  store(cache, "c.test");
  EXPECT_EQ(cache.size(), 3u);
  store(cache, "d.test");
  EXPECT_TRUE(miss(cache, "a.test"));
  EXPECT_TRUE(hit(cache, "b.test"));
  EXPECT_TRUE(hit(cache, "c.test"));
  EXPECT_TRUE(hit(cache, "d.test"));
}

TEST_F(AnswerCacheTest, ReplacingAKeyInAFullCacheStillMakesRoomFirst) {
  AnswerCache cache = make(2);
  store(cache, "a.test");
  store(cache, "b.test");
  store(cache, "b.test", 600);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_FALSE(hit(cache, "a.test"));
  now_ += 599;
  EXPECT_TRUE(hit(cache, "b.test"));
}

TEST_F(AnswerCacheTest, PositiveAndNegativeEntriesReplaceEachOther) {
  AnswerCache cache = make(10);
  store(cache, "flip.test");
  cache.store_negative("flip.test", kTypeA, NegativeKind::NameError);
  EXPECT_EQ(cache.lookup("flip.test", kTypeA).error(), ErrorCode::DnsNameError);
  store(cache, "flip.test");
  EXPECT_TRUE(hit(cache, "flip.test"));
  EXPECT_EQ(cache.size(), 1u);
}

TEST_F(AnswerCacheTest, ClearForgetsEverything) {
  AnswerCache cache = make(2);
  store(cache, "a.test");
  cache.store_negative("b.test", kTypeA, NegativeKind::Timeout);
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_TRUE(miss(cache, "a.test"));
  EXPECT_TRUE(miss(cache, "b.test"));
  store(cache, "c.test");
  store(cache, "d.test");
  EXPECT_TRUE(hit(cache, "c.test"));
  EXPECT_TRUE(hit(cache, "d.test"));
}

TEST_F(AnswerCacheTest, LookupLinesNameTheQuestionAsAsked) {
  testing::LogCapture log;
  AnswerCache cache = make(10);
  store(cache, "Pos.Test");
  cache.store_negative("neg1.test", kTypeA, NegativeKind::NameError);
  cache.store_negative("neg2.test", kTypeA, NegativeKind::ServerFailure);
  cache.store_negative("neg3.test", kTypeA, NegativeKind::Timeout);
  log.take_texts();
  (void)cache.lookup("POS.test", kTypeA);
  (void)cache.lookup("Neg1.test", kTypeA);
  (void)cache.lookup("neg2.test", kTypeA);
  (void)cache.lookup("neg3.test", kTypeA);
  (void)cache.lookup("absent.test.", kTypeA);
  EXPECT_EQ(log.take_texts(), (std::vector<std::string>{
                                  "dns: cache hit POS.test",
                                  "dns: cache negative hit Neg1.test kind=name_error",
                                  "dns: cache negative hit neg2.test kind=server_failure",
                                  "dns: cache negative hit neg3.test kind=timeout",
                                  "dns: cache miss absent.test.",
                              }));
}

TEST_F(AnswerCacheTest, LookupLinesAreDebugOnly) {
  testing::LogCapture log(Severity::Info);
  AnswerCache cache = make(10);
  (void)cache.lookup("absent.test", kTypeA);
  EXPECT_TRUE(log.take_texts().empty());
}

TEST_F(AnswerCacheTest, MovedCacheKeepsItsEntriesAndOrder) {
  AnswerCache first = make(2);
  store(first, "a.test");
  store(first, "b.test");
  AnswerCache moved = std::move(first);
  store(moved, "c.test");
  EXPECT_FALSE(hit(moved, "a.test"));
  EXPECT_TRUE(hit(moved, "b.test"));
  EXPECT_TRUE(hit(moved, "c.test"));
}

TEST_F(AnswerCacheTest, HitsShareTheStoredRecordsInsteadOfCopyingThem) {
  AnswerCache cache = make(10);
  const RecordList stored(Records{a_record("s.test", 300), a_record("s.test", 300, "other")});
  cache.store_positive("s.test", kTypeA, stored);
  const auto first = cache.lookup("s.test", kTypeA);
  const auto second = cache.lookup("S.TEST", kTypeA);
  ASSERT_TRUE(first && *first && second && *second);
  EXPECT_EQ((*first)->data(), stored.data());
  EXPECT_EQ((*second)->data(), stored.data());
  // The records outlive the entry for whoever still holds them.
  cache.clear();
  EXPECT_EQ((**first)[1].data, "other");
}

TEST(CacheBudget, IsDerivedFromTheEntryLimit) {
  EXPECT_EQ(AnswerCache(0).byte_budget(), 1000 * kCacheBytesPerEntry);
  EXPECT_EQ(AnswerCache(16).byte_budget(), 16 * kCacheBytesPerEntry);
  EXPECT_EQ(AnswerCache(16).max_entry_bytes(), 16 * kCacheBytesPerEntry / kLargestEntryShare);
  const std::uint32_t most = 0xFFFFFFFFu;
  EXPECT_EQ(AnswerCache(most).byte_budget(), std::uint64_t{most} * kCacheBytesPerEntry);
}

// One TCP-sized answer whose 4,061 owners are compression pointers to one
// 196-byte name: 65 KB on the wire, over 1 MB decoded.
RecordList huge_compressed_answer() {
  const std::string label(63, 'h');
  const std::string owner = cat(label, ".", label, ".", label, ".test");
  std::string message = wire::header(1, 0x8180, 1, 4061) + wire::question(owner, kTypeA);
  for (int i = 0; i < 4061; ++i)
    message += wire::record(wire::pointer(12), kTypeA, 300, "\x01\x02\x03\x04");
  EXPECT_LE(message.size(), 65535u);
  auto decoded = decode_response(as_bytes(message));
  EXPECT_TRUE(decoded);
  EXPECT_EQ(decoded->records.size(), 4061u);
  return RecordList(std::move(decoded->records));
}

TEST_F(AnswerCacheTest, HugeCompressedAnswerIsNotKeptAndTheBudgetHolds) {
  const RecordList huge = huge_compressed_answer();
  const std::uint64_t huge_bytes = entry_bytes(cache_key("huge.test", kTypeA), huge);
  EXPECT_GT(huge_bytes, 1'000'000u);

  AnswerCache cache = make(0);  // the default limit and budget
  store(cache, "small.test");
  cache.store_positive("huge.test", kTypeA, huge);
  EXPECT_FALSE(hit(cache, "huge.test"));
  EXPECT_TRUE(hit(cache, "small.test"));  // nothing was pushed out for it
  EXPECT_EQ(cache.size(), 1u);

  // A cache large enough to keep it counts it within its budget.
  AnswerCache large = make(10'000);
  ASSERT_LE(huge_bytes, large.max_entry_bytes());
  large.store_positive("huge.test", kTypeA, huge);
  EXPECT_TRUE(hit(large, "huge.test"));
  EXPECT_EQ(large.bytes(), huge_bytes);
  EXPECT_LE(large.bytes(), large.byte_budget());
}

TEST_F(AnswerCacheTest, LargeAnswersPushOutTheOldestToStayWithinTheBudget) {
  AnswerCache cache = make(16);  // 64 KiB, at most 8 KiB per entry
  const std::string data(cache.max_entry_bytes() - 400, 'd');
  for (int i = 0; i < 40; ++i) {
    const std::string name = cat("big", i, ".test");
    cache.store_positive(name, kTypeTxt, Records{{name, data, 300, kTypeTxt}});
    ASSERT_LE(cache.bytes(), cache.byte_budget()) << name;
    EXPECT_TRUE(hit(cache, name, kTypeTxt)) << name;
  }
  // Eight entries of nearly 8 KiB fill 64 KiB: the budget, not the limit
  // of 16, decided, and the newest were kept.
  EXPECT_LE(cache.size(), 8u);
  EXPECT_GE(cache.size(), 7u);
  EXPECT_TRUE(hit(cache, "big39.test", kTypeTxt));
  EXPECT_FALSE(hit(cache, "big31.test", kTypeTxt));
  // An answer just over the share is refused outright.
  const std::string over(cache.max_entry_bytes(), 'o');
  cache.store_positive("over.test", kTypeTxt, Records{{"over.test", over, 300, kTypeTxt}});
  EXPECT_FALSE(hit(cache, "over.test", kTypeTxt));
}

TEST_F(AnswerCacheTest, AmongExpiredEntriesTheFirstInsertedGoesFirst) {
  AnswerCache cache = make(4);
  store(cache, "a.test", 300);
  store(cache, "b.test", 200);  // expires after c
  store(cache, "c.test", 100);
  store(cache, "d.test", 300);
  now_ += 250;  // b and c have expired, c first
  store(cache, "e.test");
  EXPECT_EQ(cache.size(), 4u);
  cache.store_negative("f.test", kTypeA, NegativeKind::NameError);
  // b went first (inserted before c), then c; a and d were live and stay.
  EXPECT_EQ(cache.size(), 4u);
  EXPECT_TRUE(hit(cache, "a.test"));
  EXPECT_TRUE(hit(cache, "d.test"));
  EXPECT_TRUE(hit(cache, "e.test"));
  store(cache, "g.test");
  EXPECT_FALSE(hit(cache, "a.test"));  // no expired entry left: the oldest goes
}

// The order of the straightforward walk: expired entries in insertion order,
// then the entry inserted first, until both bounds hold.
class ReferenceCache {
 public:
  ReferenceCache(std::uint32_t limit, std::uint64_t budget) : limit_(limit), budget_(budget) {}

  void store(const std::string& key, std::int64_t expiry, std::uint64_t bytes, std::int64_t now) {
    while (!order_.empty() && (order_.size() >= limit_ || bytes_ + bytes > budget_)) {
      const auto expired = std::find_if(order_.begin(), order_.end(), [&](const std::string& k) {
        return now >= entries_.at(k).expiry;
      });
      const auto victim = expired != order_.end() ? expired : order_.begin();
      bytes_ -= entries_.at(*victim).bytes;
      entries_.erase(*victim);
      order_.erase(victim);
    }
    if (const auto it = entries_.find(key); it != entries_.end()) {
      bytes_ = bytes_ - it->second.bytes + bytes;
      it->second = {expiry, bytes};
      return;
    }
    entries_[key] = {expiry, bytes};
    order_.push_back(key);
    bytes_ += bytes;
  }
  bool live(const std::string& key, std::int64_t now) const {
    const auto it = entries_.find(key);
    return it != entries_.end() && now < it->second.expiry;
  }
  std::size_t size() const { return order_.size(); }
  std::uint64_t bytes() const { return bytes_; }

 private:
  struct Entry {
    std::int64_t expiry;
    std::uint64_t bytes;
  };
  std::uint32_t limit_;
  std::uint64_t budget_;
  std::map<std::string, Entry> entries_;
  std::vector<std::string> order_;
  std::uint64_t bytes_ = 0;
};

TEST_F(AnswerCacheTest, EvictsInTheOrderOfTheFullWalk) {
  constexpr std::uint32_t kLimit = 12;
  AnswerCache cache = make(kLimit, 45);
  ReferenceCache reference(kLimit, cache.byte_budget());
  std::mt19937 random(7);  // 32-bit draws
  for (int step = 0; step < 4000; ++step) {
    now_ += random() % 8;
    const std::string name = cat("n", random() % 40, ".test");
    const std::string key = cache_key(name, kTypeTxt);
    if (random() % 4 == 0) {
      cache.store_negative(name, kTypeTxt, NegativeKind::ServerFailure);
      reference.store(key, now_ + 45, entry_bytes(key, {}), now_);
    } else {
      // Sizes up to the share, so the budget decides now and then.
      const auto ttl = static_cast<std::uint32_t>(30 + random() % 60);
      const std::string data(random() % 2 ? 10 : random() % (cache.max_entry_bytes() - 500), 'x');
      const RecordList records(Records{{name, data, ttl, kTypeTxt}});
      cache.store_positive(name, kTypeTxt, records);
      reference.store(key, now_ + ttl, entry_bytes(key, records), now_);
    }
    ASSERT_EQ(cache.size(), reference.size()) << "step " << step;
    ASSERT_EQ(cache.bytes(), reference.bytes()) << "step " << step;
    ASSERT_LE(cache.bytes(), cache.byte_budget());
    for (int i = 0; i < 40; ++i) {
      const std::string probe = cat("n", i, ".test");
      const auto found = cache.lookup(probe, kTypeTxt);
      const bool cached = !found || found->has_value();  // a hit, or a negative hit
      ASSERT_EQ(cached, reference.live(cache_key(probe, kTypeTxt), now_))
          << probe << " at step " << step;
    }
  }
}

}  // namespace
}  // namespace tessvane
