// The inverse transform's lane walk against the plain walk that defines it:
// real transforms (one cycle), damaged ones (several cycles) and the fallback
// when the lanes' scratch runs out.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <utility>

#include "morvane/decoder/stages.hpp"
#include "support/block_builder.hpp"

using namespace morvane::decoder;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The definition: link every entry to its successor, then n steps from the origin.
Bytes plain_walk(std::vector<std::uint32_t> tt, std::uint32_t origin) {
  std::array<std::uint32_t, 256> next{};
  for (std::uint32_t entry : tt) ++next[entry];
  std::uint32_t sum = 0;
  for (auto& start : next) sum += std::exchange(start, sum);
  for (std::uint32_t i = 0; i < tt.size(); ++i) tt[next[tt[i] & 0xFF]++] |= i << 8;
  Bytes out;
  for (std::uint32_t j = 0, pos = tt[origin] >> 8; j < tt.size(); ++j, pos = tt[pos] >> 8)
    out.push_back(static_cast<std::uint8_t>(tt[pos]));
  return out;
}

// Checks the lane walk of a last column, with room for the lanes and with a
// scratch too small for their regions (the two-pass road).
void expect_lanes_walk(const Bytes& last, std::uint32_t origin, const Bytes& want) {
  for (std::size_t scratch_bytes : {2 * last.size(), std::size_t{64}}) {
    std::vector<std::uint32_t> tt(last.begin(), last.end());  // bytes only, as the symbol stage leaves them
    Bytes out(tt.size()), scratch(scratch_bytes);
    stages::inverse_transform(tt.data(), static_cast<std::uint32_t>(tt.size()), origin, out.data(), scratch);
    ASSERT_TRUE(out == want) << last.size() << " bytes, scratch " << scratch_bytes;
  }
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
    const auto t = morvane::test::bwt(text);
    expect_lanes_walk(t.last, t.origin, text);
  }
}

TEST(RoundtripInverseTransform, DamagedTransformsWalkLikeThePlainWalk) {
  // A random last column almost never forms one cycle: the walk from the
  // origin repeats its own cycle, as the plain walk does.
  for (const unsigned seed : {1u, 2u, 3u}) {
    const Bytes last = random_text(250000, 4 + seed, seed);
    const auto origin = static_cast<std::uint32_t>(seed * 777);
    expect_lanes_walk(last, origin, plain_walk({last.begin(), last.end()}, origin));
  }
}
