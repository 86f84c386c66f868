#include "dns/query_id.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <optional>
#include <vector>

namespace tessvane {
namespace {

TEST(QueryIdSource, NeverRepeatsARecentIdAndIsNoCount) {
  QueryIdSource source;
  constexpr int kDraws = 20'000;
  std::deque<std::uint16_t> window;
  std::array<int, 16> ones{};  // per bit
  int steps_of_one = 0;
  std::optional<std::uint16_t> previous;
  for (int i = 0; i < kDraws; ++i) {
    const auto id = source.next();
    ASSERT_TRUE(id) << error_name(id.error());
    for (const std::uint16_t recent : window) ASSERT_NE(recent, *id) << "draw " << i;
    window.push_back(*id);
    if (window.size() > kRecentQueryIds) window.pop_front();
    for (unsigned bit = 0; bit < 16; ++bit) ones[bit] += (*id >> bit) & 1;
    if (previous && static_cast<std::uint16_t>(*previous + 1) == *id) ++steps_of_one;
    previous = *id;
  }
  // Each bit is set in about half the draws (far more than 10 standard
  // deviations would be needed to fail by chance), and counting up is rare.
  for (unsigned bit = 0; bit < 16; ++bit) {
    EXPECT_GT(ones[bit], kDraws * 4 / 10) << "bit " << bit;
    EXPECT_LT(ones[bit], kDraws * 6 / 10) << "bit " << bit;
  }
  EXPECT_LT(steps_of_one, 10);
}

TEST(QueryIdSource, TwoSourcesDoNotShareASequence) {
  QueryIdSource first;
  QueryIdSource second;
  std::vector<std::uint16_t> a;
  std::vector<std::uint16_t> b;
  for (int i = 0; i < 8; ++i) {
    a.push_back(*first.next());
    b.push_back(*second.next());
  }
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tessvane
