#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "morvane/indexed/block_cache.hpp"

using morvane::indexed::BlockCache;

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t fill = 0) { return std::vector<std::uint8_t>(n, fill); }

}  // namespace

TEST(BlockCache, EvictsLeastRecentlyUsedByBytes) {
  BlockCache cache(10);
  cache.insert(0, bytes(4, 'a'));
  cache.insert(1, bytes(4, 'b'));
  ASSERT_NE(cache.lookup(0), nullptr);  // 0 is now more recent than 1
  cache.insert(2, bytes(4, 'c'));       // 12 > 10: the front (1) goes
  EXPECT_TRUE(cache.contains(0) && cache.contains(2));
  EXPECT_EQ(cache.lookup(1), nullptr);
  EXPECT_EQ(cache.used_bytes(), 8u);
  EXPECT_EQ(*cache.lookup(2), bytes(4, 'c'));

  cache.insert(0, bytes(6, 'y'));  // a reinsertion replaces and becomes most recent
  EXPECT_EQ(cache.used_bytes(), 10u);
  EXPECT_EQ(*cache.lookup(0), bytes(6, 'y'));
  cache.insert(4, bytes(4));  // evicting the front (2) is enough
  EXPECT_TRUE(cache.contains(0) && !cache.contains(2));
  EXPECT_EQ(cache.used_bytes(), 10u);

  cache.insert(3, bytes(9));  // one large block evicts as many as it needs
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.used_bytes(), 9u);
}

TEST(BlockCache, BudgetEdges) {
  BlockCache exact(8);
  exact.insert(0, bytes(3));
  exact.insert(1, bytes(8));  // exactly the budget: cached after evicting everything
  exact.insert(2, bytes(9));  // over the budget: dropped, the cache untouched
  EXPECT_FALSE(exact.contains(0) || exact.contains(2));
  EXPECT_TRUE(exact.contains(1));
  EXPECT_EQ(exact.used_bytes(), 8u);

  BlockCache none(0);
  none.insert(0, bytes(1));
  EXPECT_EQ(none.lookup(0), nullptr);
  EXPECT_EQ(none.used_bytes(), 0u);

  // A budget at the top of the word must not wrap used + n.
  BlockCache huge(std::numeric_limits<std::size_t>::max());
  huge.insert(0, bytes(5));
  huge.insert(1, bytes(5));
  EXPECT_EQ(huge.size(), 2u);
  EXPECT_EQ(huge.used_bytes(), 10u);
}
