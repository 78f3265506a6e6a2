// The marker list (sort, one per offset, the block-only cap), the lookup, and
// the ordered walk's records and chain checks on crafted streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/format/scan.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/recording_writer.hpp"

using namespace morvane;
using namespace morvane::decode;
using namespace morvane::test;

namespace {

format::BlockCandidate block_at(std::uint64_t bit) { return {bit, static_cast<std::uint32_t>(bit * 7), 0, false}; }
format::EndCandidate end_at(std::uint64_t bit) { return {bit, static_cast<std::uint32_t>(bit * 3)}; }

std::vector<std::uint64_t> offsets(const std::vector<Marker>& markers) {
  std::vector<std::uint64_t> out;
  for (const auto& m : markers) out.push_back(m.bit_offset());
  return out;
}

Error too_many() { return Error::invalid_configuration("input contains too many speculative markers"); }

// The walk with decoding on the calling thread, as the one-thread scanning road runs it.
Result<index::Index> walk(std::span<const std::uint8_t> data, Calls& calls) {
  auto markers = collect_markers(format::scan_range(data, 0, data.size()), data.size());
  if (!markers) return fail(markers.error());
  CallWriter writer{calls};
  return assemble(data, writer, *markers, SerialCandidates(data, *markers), recorder(calls));
}

std::vector<std::uint8_t> chunk(std::size_t n, std::uint64_t seed) { return test::text_bytes(n, seed); }

}  // namespace

TEST(MarkerList, SortedOnePerOffsetStreamsDropped) {
  format::ScanResult scan;
  scan.streams = {{0, 9}, {40, 1}};
  scan.blocks = {block_at(900), block_at(32), block_at(500)};
  scan.ends = {end_at(700), end_at(32), end_at(100)};
  auto markers = collect_markers(std::move(scan), 1000);
  ASSERT_TRUE(markers);
  EXPECT_EQ(offsets(*markers), (std::vector<std::uint64_t>{32, 100, 500, 700, 900}));
  // Each marker keeps its own fields.
  ASSERT_NE((*markers)[2].block(), nullptr);
  EXPECT_EQ((*markers)[2].block()->crc, 3500u);
  ASSERT_NE((*markers)[3].end(), nullptr);
  EXPECT_EQ((*markers)[3].end()->crc, 2100u);
  EXPECT_EQ((*markers)[3].block(), nullptr);
}

TEST(MarkerList, CapCountsBlockMarkersOnly) {
  // 1000 bytes allow (1000 >> 4) + 64 = 126 block markers.
  ASSERT_EQ(marker_cap(1000), 126u);
  auto scan_with = [](std::size_t blocks, std::size_t ends) {
    format::ScanResult scan;
    for (std::size_t i = 0; i < blocks; ++i) scan.blocks.push_back(block_at(2 * i));
    for (std::size_t i = 0; i < ends; ++i) scan.ends.push_back(end_at(2 * i + 1));
    return scan;
  };
  auto at_limit = collect_markers(scan_with(126, 0), 1000);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->size(), 126u);
  EXPECT_EQ(collect_markers(scan_with(127, 0), 1000).error(), too_many());
  // End markers cost no decode: thousands of them beside the limit are fine.
  auto with_ends = collect_markers(scan_with(126, 5000), 1000);
  ASSERT_TRUE(with_ends);
  EXPECT_EQ(with_ends->size(), 5126u);
  EXPECT_EQ(collect_markers(scan_with(127, 5000), 1000).error(), too_many());
  // Duplicate offsets are counted once.
  auto doubled = scan_with(126, 0);
  doubled.blocks.push_back(block_at(0));
  EXPECT_TRUE(collect_markers(std::move(doubled), 1000));
}

TEST(MarkerLookup, ExactOffsetsOnlyAgainstALinearSearch) {
  EXPECT_EQ(find_marker({}, 0), std::nullopt);
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    format::ScanResult scan;
    std::size_t n = 1 + rng() % 40;
    for (std::size_t i = 0; i < n; ++i) scan.blocks.push_back(block_at(rng() % 300));
    auto markers = collect_markers(std::move(scan), 1 << 20).value();
    for (std::uint64_t bit = 0; bit < 310; ++bit) {
      std::optional<std::uint64_t> expected;
      for (std::size_t i = 0; i < markers.size(); ++i)
        if (markers[i].bit_offset() == bit) expected = i;
      ASSERT_EQ(find_marker(markers, bit), expected) << "bit " << bit;
    }
  }
  EXPECT_EQ(offset_overflow().display(), "invalid configuration: offset arithmetic overflow");
}

TEST(MarkerWalk, RecordsOfStreamsWithAndWithoutBlocks) {
  std::vector<std::vector<std::uint8_t>> first = {chunk(3000, 1), chunk(5000, 2)};
  std::vector<std::vector<std::uint8_t>> second = {chunk(4000, 3)};
  auto a = test::make_stream(2, first);
  auto empty = test::make_stream(9, {});
  auto b = test::make_stream(5, second);
  auto data = test::concat({a, empty, b});

  Calls calls;
  auto index = walk(data, calls);
  ASSERT_TRUE(index) << index.error().display();
  ASSERT_EQ(index->streams.size(), 3u);
  ASSERT_EQ(index->blocks.size(), 3u);
  EXPECT_EQ(index->source_bytes, data.size());
  EXPECT_EQ(index->source_hash, index::blake3_hash(data));
  EXPECT_EQ(index->decoded_bytes, 12000u);

  const std::uint64_t s2_at = a.size() + empty.size();
  const std::uint64_t b0_end = index->blocks[0].compressed_end_bit, s0_eos = index->streams[0].eos_bit;
  // The next header starts at the byte after the end record's padding.
  EXPECT_EQ((s0_eos + 87) / 8, a.size());
  const std::uint32_t crc0 = test::crc32(first[0]), crc1 = test::crc32(first[1]), crc2 = test::crc32(second[0]);
  using index::BlockIndex;
  using index::StreamIndex;
  EXPECT_EQ(index->streams, (std::vector<StreamIndex>{
                                {0, 2, 0, 2, 0, 8000, s0_eos, test::combine_crc(test::combine_crc(0, crc0), crc1)},
                                {a.size(), 9, 2, 0, 8000, 0, 8 * a.size() + 32, 0},
                                {s2_at, 5, 2, 1, 8000, 4000, index->streams[2].eos_bit, test::combine_crc(0, crc2)}}));
  EXPECT_EQ(index->blocks, (std::vector<BlockIndex>{{32, b0_end, 0, 3000, crc0, 0},
                                                    {b0_end, index->blocks[1].compressed_end_bit, 3000, 5000, crc1, 0},
                                                    {8 * s2_at + 32, index->streams[2].eos_bit, 8000, 4000, crc2, 2}}));

  // One piece per block, then one flush; progress after each block with the
  // rounded-up end byte, then (length, total).
  ASSERT_EQ(calls.pieces.size(), 3u);
  EXPECT_EQ(calls.pieces[0], first[0]);
  EXPECT_EQ(calls.pieces[2], second[0]);
  EXPECT_EQ(calls.flushes, 1);
  ASSERT_EQ(calls.progress.size(), 4u);
  EXPECT_EQ(calls.progress[0], std::make_pair((b0_end + 7) / 8, std::uint64_t{3000}));
  EXPECT_EQ(calls.progress[3], std::make_pair(std::uint64_t{data.size()}, std::uint64_t{12000}));
}

TEST(MarkerWalk, EmptyInputGivesAnEmptyIndexAfterOneFlush) {
  Calls calls;
  auto index = walk({}, calls);
  ASSERT_TRUE(index);
  EXPECT_EQ(index->source_bytes, 0u);
  EXPECT_EQ(index->decoded_bytes, 0u);
  EXPECT_TRUE(index->streams.empty());
  EXPECT_EQ(index->source_hash, index::blake3_hash({}));
  EXPECT_EQ(calls.flushes, 1);
  EXPECT_EQ(calls.progress, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}}));
}

TEST(MarkerWalk, ChainFailuresAfterAStream) {
  // Trailing bytes, CRC mismatches and block failures are covered on real
  // files in the engine tests; these two need a second header of our own.
  std::vector<std::vector<std::uint8_t>> chunks = {chunk(2000, 4)};
  const auto stream = test::make_stream(9, chunks);
  const std::uint64_t end = 8 * stream.size();
  Calls calls;
  auto bad_level = test::concat({stream, std::vector<std::uint8_t>{'B', 'Z', 'h', '0'}});
  EXPECT_EQ(walk(bad_level, calls).error(), Error::decode(end + 24, DecodeError::InvalidLevel));
  // A second header with nothing after it: no marker right after the header.
  calls = {};
  auto bare_header = test::concat({stream, std::vector<std::uint8_t>{'B', 'Z', 'h', '9'}});
  EXPECT_EQ(walk(bare_header, calls).error(), Error::decode(end + 32, DecodeError::InvalidMagic));
  EXPECT_EQ(calls.pieces, chunks);
  EXPECT_EQ(calls.flushes, 0);
}

TEST(MarkerWalk, SerialCandidatesRefuseAnEndMarker) {
  std::vector<Marker> markers = {Marker(end_at(32))};
  std::vector<std::uint8_t> data(16);
  SerialCandidates candidates(data, markers);
  EXPECT_EQ(candidates.take(0).error(), Error::decode(32, DecodeError::InvalidMagic));
}
