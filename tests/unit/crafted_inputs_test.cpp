// The crafted input classes: each valid one decodes with the distribution's
// bzip2 and Python's bz2 to the bytes its maker says, its planted strings
// sit where the maker says, and the scan finds them as candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "morvane/decode/markers.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/format/scan.hpp"
#include "support/bz2_tools.hpp"
#include "support/checks.hpp"
#include "support/crafted_inputs.hpp"
#include "support/nested_headers.hpp"
#include "support/symbol_block.hpp"

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

// How many cycles the inverse transform of `column` goes round.
std::size_t cycles_of(std::span<const std::uint8_t> column) {
  const std::vector<std::uint32_t> links = links_of(column);
  std::vector<bool> seen(column.size());
  std::size_t cycles = 0;
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (seen[i]) continue;
    ++cycles;
    for (std::size_t at = i; !seen[at]; at = links[at]) seen[at] = true;
  }
  return cycles;
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

TEST(CraftedInputs, NestedFalseHeadersEachReadToTheRealEndOfBlock) {
  for (const auto [symbols, blocks] : kSizes) {
    SCOPED_TRACE(symbols);
    const Planted input = nested_headers({.blocks = blocks}, symbols);
    ASSERT_EQ(input.real.size(), blocks);
    ASSERT_EQ(input.planted.size(), 9 * blocks);
    expect_decoded_by_others(input);
    const auto found = block_candidates(input.compressed);
    decoder::Decoder decoder;
    for (std::size_t b = 0; b < blocks; ++b) {
      auto real = decoder::read_candidate(input.compressed, input.real[b], found.at(input.real[b]).crc, decoder, {});
      ASSERT_TRUE(real && *real) << (real ? "abandoned" : real.error().display());
      EXPECT_EQ((*real)->end_bit, input.ends[b]);
      EXPECT_EQ((*real)->symbols, symbols);
      for (std::size_t h = 0; h < 9; ++h) {
        const std::uint64_t at = input.planted[9 * b + h];
        SCOPED_TRACE(testing::Message() << "block " << b << ", false header " << h);
        EXPECT_GT(at, h == 0 ? input.real[b] : input.planted[9 * b + h - 1]);
        ASSERT_TRUE(found.contains(at));
        const std::uint32_t crc = found.at(at).crc;
        auto shape = decoder::read_candidate(input.compressed, at, crc, decoder, {});
        ASSERT_TRUE(shape && *shape) << (shape ? "abandoned" : shape.error().display());
        EXPECT_EQ((*shape)->end_bit, input.ends[b]);
        EXPECT_LT((*shape)->symbols, symbols);
        EXPECT_TRUE(fails_with(decoder::decode_candidate(input.compressed, at, crc), at, DecodeError::CrcMismatch));
      }
    }
  }
}

TEST(CraftedInputs, JoinedCyclesKeepTheBytesAndTheEntriesBeforeTheJoin) {
  // A real transform is one cycle and inverts to its text.
  const std::vector<std::uint8_t> text = text_bytes(3000, 5);
  const Bwt t = bwt(text);
  EXPECT_EQ(walk_of(t.last, t.origin), text);
  EXPECT_EQ(cycles_of(t.last), 1u);

  // Swapping unequal neighbours of one cycle cuts it in two.
  std::vector<std::uint8_t> column = t.last;
  for (std::size_t i : {1500, 2000, 2500}) {
    while (column[i] == column[i + 1]) ++i;
    std::swap(column[i], column[i + 1]);
  }
  ASSERT_GT(cycles_of(column), 1u);
  const std::vector<std::uint8_t> before = column;
  ASSERT_TRUE(join_cycles(column, 1000));
  EXPECT_EQ(cycles_of(column), 1u);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 1000, column.begin()));
  EXPECT_TRUE(std::is_permutation(before.begin(), before.end(), column.begin()));

  // An entry that links to itself before the join cannot be joined.
  std::vector<std::uint8_t> fixed = {'a', 'c', 'b', 'c', 'b', 'a', 'c'};
  EXPECT_EQ(links_of(fixed)[0], 0u);
  EXPECT_FALSE(join_cycles(fixed, 1));
}
