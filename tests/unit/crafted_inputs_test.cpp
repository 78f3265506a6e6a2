// The crafted input classes: each valid one decodes with the distribution's
// bzip2 and Python's bz2 to the bytes its maker says, its planted strings
// sit where the maker says, and the scan finds them as candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "morvane/decode/markers.hpp"
#include "morvane/format/scan.hpp"
#include "support/bz2_tools.hpp"
#include "support/crafted_inputs.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

// A few small blocks, and one of level 9's full size.
struct Size {
  std::uint32_t symbols;
  std::size_t blocks;
};
constexpr Size kSizes[] = {{40000, 3}, {900000, 1}};

void expect_decoded_by_others(const Planted& input) {
  EXPECT_EQ(python_bz2_decompress(input.compressed), input.decoded) << "Python's bz2";
  EXPECT_EQ(bzip2_decompress(input.compressed), input.decoded) << "bzip2";
}

// The block candidates of the scan, by bit offset.
std::map<std::uint64_t, format::BlockCandidate> block_candidates(std::span<const std::uint8_t> data) {
  std::map<std::uint64_t, format::BlockCandidate> by_offset;
  for (const auto& c : format::scan_range(data, 0, data.size()).blocks) by_offset.emplace(c.bit_offset, c);
  return by_offset;
}

}  // namespace

TEST(CraftedInputs, RunHeavyBlocksHoldOneByteAtTheMostABlockGives) {
  for (const auto [symbols, blocks] : kSizes) {
    SCOPED_TRACE(symbols);
    const Planted runs = run_heavy({.blocks = blocks}, symbols);
    ASSERT_EQ(runs.real.size(), blocks);
    EXPECT_EQ(runs.decoded.size(), blocks * (symbols / 5 * 259));
    EXPECT_TRUE(std::all_of(runs.decoded.begin(), runs.decoded.end(), [](std::uint8_t b) { return b == 0xFF; }));
    expect_decoded_by_others(runs);
    const auto found = block_candidates(runs.compressed);
    for (std::uint64_t at : runs.real) EXPECT_TRUE(found.contains(at)) << at;
  }
}

TEST(CraftedInputs, HeaderPatternsSitByteAlignedInValidBlocks) {
  const std::size_t copies = 100;
  const Planted input = header_patterns({.blocks = 3}, copies);
  ASSERT_EQ(input.planted.size(), 3u);
  expect_decoded_by_others(input);
  std::set<std::uint64_t> scanned;
  for (const auto& s : format::scan_range(input.compressed, 0, input.compressed.size()).streams)
    if (s.level == 9) scanned.insert(s.byte_offset);
  for (std::size_t b = 0; b < 3; ++b) {
    const std::uint64_t first = input.planted[b];
    ASSERT_EQ(first % 8, 0u);
    EXPECT_GT(first, input.real[b]);
    for (std::size_t i = 0; i < copies; ++i) {
      const std::size_t at = first / 8 + 4 * i;
      ASSERT_LE(at + 4, input.compressed.size());
      EXPECT_EQ(std::string(input.compressed.begin() + at, input.compressed.begin() + at + 4), "BZh9") << at;
      EXPECT_TRUE(scanned.contains(at)) << at;
    }
    EXPECT_LT(first + 32 * copies, input.ends[b]);
  }
  // The most copies that fit still make a valid file.
  expect_decoded_by_others(header_patterns({.blocks = 1}));

  const std::vector<std::uint8_t> repeated = repeated_headers(1001);
  EXPECT_EQ(format::scan_range(repeated, 0, repeated.size()).streams.size(), 250u);
  EXPECT_FALSE(python_bz2_decompress(repeated));
}

TEST(CraftedInputs, OverCapFileIsValidAndHoldsMoreMagicsThanTheCap) {
  const Planted input = over_marker_cap();
  EXPECT_EQ(input.decoded, bytes_of("a"));
  expect_decoded_by_others(input);
  const auto found = block_candidates(input.compressed);
  ASSERT_EQ(input.planted.size(), 110u);
  for (std::uint64_t at : input.planted) EXPECT_TRUE(found.contains(at)) << at;
  EXPECT_TRUE(found.contains(input.real[0]));
  EXPECT_GT(found.size(), decode::marker_cap(input.compressed.size()));
  EXPECT_LT(input.compressed.size(), 800u);
}
