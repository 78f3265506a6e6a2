// The marker list (index, lookup and CRCs across the scan's chunks), and the
// ordered walk's records and chain checks on crafted streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/constants.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/recording_writer.hpp"

using namespace morvane;
using namespace morvane::decode;
using namespace morvane::test;

namespace {

// The walk with decoding on the calling thread, as the one-thread scanning road runs it.
Result<index::Index> walk(std::span<const std::uint8_t> data, Calls& calls) {
  // The engine refuses an input without a stream header before it walks;
  // the walk itself is tried on one here too (the empty input).
  auto scan = format::scan_magics(data, nullptr, marker_cap(data.size()));
  const MarkerList markers = scan ? MarkerList(data, std::move(scan->chunks)) : MarkerList();
  CallWriter writer{calls};
  return assemble(data, writer, markers, SerialCandidates(data, markers), recorder(calls));
}

std::vector<std::uint8_t> chunk(std::size_t n, std::uint64_t seed) { return test::text_bytes(n, seed); }

}  // namespace

TEST(MarkerList, IndexLookupAndCrcAcrossChunksAgainstALinearSearch) {
  // Markers spread over four scan chunks, one of them empty, with the 32 bits
  // after each magic set to a value of its own.
  constexpr std::uint64_t kMiBBits = 8 * format::kScanChunkBytes;
  std::vector<std::uint8_t> data(4 * format::kScanChunkBytes);
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> offsets;
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t bit = rng() % (4 * kMiBBits - 200);
    if (bit / kMiBBits != 2) offsets.push_back(bit / 97 * 97);  // at least 97 bits apart: fields never overlap
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  std::vector<Marker> list;
  for (std::uint64_t bit : offsets) {
    list.push_back(bit % 3 == 0 ? Marker::end(bit) : Marker::block(bit));
    const auto crc = static_cast<std::uint32_t>(bit * 2654435761u);
    for (unsigned k = 0; k < 32; ++k) {
      const std::uint64_t at = bit + kMagicBits + k;
      if ((crc >> (31 - k)) & 1) data[at / 8] |= static_cast<std::uint8_t>(0x80 >> (at % 8));
    }
  }
  const MarkerList markers = MarkerList::of(data, list);
  ASSERT_EQ(markers.size(), list.size());
  EXPECT_EQ(markers.block_count(),
            static_cast<std::uint64_t>(std::count_if(list.begin(), list.end(), [](Marker m) { return m.is_block(); })));
  for (std::uint64_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(markers[i], list[i]);
    ASSERT_EQ(markers.crc(i), static_cast<std::uint32_t>(list[i].bit_offset() * 2654435761u));
  }
  // Every offset near a marker, and far from any.
  for (std::uint64_t bit : offsets) {
    for (std::uint64_t probe : {bit - 1, bit, bit + 1, bit + 48}) {
      const auto at = std::lower_bound(offsets.begin(), offsets.end(), probe);
      const auto expected_index = static_cast<std::uint64_t>(at - offsets.begin());
      ASSERT_EQ(markers.lower_bound(probe), expected_index);
      ASSERT_EQ(markers.find(probe),
                at != offsets.end() && *at == probe ? std::optional<std::uint64_t>(expected_index) : std::nullopt);
    }
  }
  EXPECT_EQ(markers.find(2 * kMiBBits + 5), std::nullopt);
  EXPECT_EQ(markers.lower_bound(2 * kMiBBits), markers.lower_bound(3 * kMiBBits));
  EXPECT_EQ(markers.lower_bound(100 * kMiBBits), markers.size());
  EXPECT_EQ(MarkerList().find(0), std::nullopt);
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
  std::vector<std::uint8_t> data(16);
  const std::vector<Marker> list = {Marker::end(32)};
  const MarkerList markers = MarkerList::of(data, list);
  SerialCandidates candidates(data, markers);
  EXPECT_EQ(candidates.take(0).error(), Error::decode(32, DecodeError::InvalidMagic));
}
