// The inverse transform's lane walk against the plain walk that defines it:
// real transforms (one cycle), damaged ones (several cycles) and the fallback
// when the lanes' scratch runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "morvane/decoder/stages.hpp"

using namespace morvane::decoder;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Transform {
  std::vector<std::uint32_t> tt;  // bytes only, as the symbol stage leaves them
  std::uint32_t origin = 0;
};

Transform from_last_column(const Bytes& last, std::uint32_t origin) {
  Transform t;
  t.origin = origin;
  t.tt.assign(last.begin(), last.end());
  return t;
}

// The Burrows-Wheeler transform of `text` by sorting its rotations.
Transform forward(const Bytes& text) {
  const std::size_t n = text.size();
  std::vector<std::uint32_t> rotations(n);
  std::iota(rotations.begin(), rotations.end(), 0u);
  std::sort(rotations.begin(), rotations.end(), [&](std::uint32_t a, std::uint32_t b) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint8_t x = text[(a + k) % n];
      const std::uint8_t y = text[(b + k) % n];
      if (x != y) return x < y;
    }
    return false;
  });
  Bytes last(n);
  std::uint32_t origin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    last[i] = text[(rotations[i] + n - 1) % n];
    if (rotations[i] == 0) origin = static_cast<std::uint32_t>(i);
  }
  return from_last_column(last, origin);
}

// The definition: link every entry to its successor, then n steps from the origin.
Bytes plain_walk(Transform t) {
  std::array<std::uint32_t, 256> next{};
  for (std::uint32_t entry : t.tt) ++next[entry];
  std::uint32_t sum = 0;
  for (auto& start : next) sum += std::exchange(start, sum);
  for (std::uint32_t i = 0; i < t.tt.size(); ++i) t.tt[next[t.tt[i] & 0xFF]++] |= i << 8;
  Bytes out;
  std::uint32_t pos = t.tt[t.origin] >> 8;
  for (std::size_t j = 0; j < t.tt.size(); ++j) {
    out.push_back(static_cast<std::uint8_t>(t.tt[pos]));
    pos = t.tt[pos] >> 8;
  }
  return out;
}

Bytes lane_walk(Transform t, std::size_t scratch_bytes) {
  Bytes out(t.tt.size());
  Bytes scratch(scratch_bytes);
  stages::inverse_transform(t.tt.data(), static_cast<std::uint32_t>(t.tt.size()), t.origin, out.data(), scratch);
  return out;
}

Bytes random_text(std::size_t n, unsigned alphabet, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes text(n);
  for (auto& b : text) b = static_cast<std::uint8_t>('a' + rng() % alphabet);
  return text;
}

}  // namespace

TEST(RoundtripInverseTransform, LanesGiveTheTextBack) {
  for (const std::size_t n : {1, 2, 1000, 200000, 300001}) {
    const Bytes text = random_text(n, n > 1000 ? 5 : 256, static_cast<unsigned>(n));
    const Transform t = forward(text);
    ASSERT_TRUE(lane_walk(t, 2 * n) == text) << n;
    // A scratch too small for the lanes' regions takes the two-pass road.
    ASSERT_TRUE(lane_walk(t, 64) == text) << n;
  }
}

TEST(RoundtripInverseTransform, DamagedTransformsWalkLikeThePlainWalk) {
  // A random last column almost never forms one cycle: the walk from the
  // origin repeats its own cycle, as the plain walk does.
  for (const unsigned seed : {1u, 2u, 3u}) {
    const std::size_t n = 250000;
    const Bytes last = random_text(n, 4 + seed, seed);
    const Transform t = from_last_column(last, static_cast<std::uint32_t>(seed * 777));
    const Bytes expected = plain_walk(t);
    ASSERT_TRUE(lane_walk(t, 2 * n) == expected) << seed;
    ASSERT_TRUE(lane_walk(t, 64) == expected) << seed;
  }
}
