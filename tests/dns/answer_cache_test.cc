#include "dns/answer_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
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

}  // namespace
}  // namespace tessvane
