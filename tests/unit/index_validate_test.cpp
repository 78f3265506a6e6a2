// Index::validate: each rule broken by one change to a sound index, the edges
// that must still pass, and the order in which the rules are applied.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "morvane/index/index.hpp"

namespace morvane::index {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::vector<std::uint8_t> sample_source() {
  std::vector<std::uint8_t> source(1000);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 13);
  return source;
}

// Three streams over a 1000-byte (8000-bit) input: two blocks, none, one.
// Each stream's blocks follow its 4-byte header without a gap and end where
// its end magic begins, as in every input.
Index sample_index() {
  return Index::create(
      sample_source(), 350,
      {{0, 9, 0, 2, 0, 300, 2000, 7}, {261, 1, 2, 0, 300, 0, 2120, 0}, {300, 5, 2, 1, 300, 50, 7100, 9}},
      {{32, 1000, 0, 100, 1, 0}, {1000, 2000, 100, 200, 2, 0}, {2432, 7100, 300, 50, 9, 2}});
}

struct Case {
  const char* name;
  std::function<void(Index&)> change;
  const char* reason;  // nullptr: still valid
};

const Case kCases[] = {
    {"source of 2^61 bytes", [](Index& i) { i.source_bytes = std::uint64_t{1} << 61; }, "source length overflow"},
    {"largest source", [](Index& i) { i.source_bytes = (std::uint64_t{1} << 61) - 1; }, nullptr},
    {"gap", [](Index& i) { i.blocks[1].decoded_start = 101; }, "block decoded offsets are not contiguous"},
    {"empty block", [](Index& i) { i.blocks[2].decoded_bytes = 0; }, "block decoded offsets are not contiguous"},
    {"empty, bad range", [](Index& i) { i.blocks[0].decoded_bytes = 0, i.blocks[0].compressed_end_bit = 32; },
     "block decoded offsets are not contiguous"},
    {"block of no bits", [](Index& i) { i.blocks[0].compressed_end_bit = 32; }, "block compressed range is invalid"},
    {"block and end magic at input end", [](Index& i) { i.blocks[2].compressed_end_bit = i.streams[2].eos_bit = 8000; },
     nullptr},
    {"ends past input", [](Index& i) { i.blocks[2].compressed_end_bit = 8001; }, "block compressed range is invalid"},
    {"block of a missing stream", [](Index& i) { i.blocks[2].stream = 3; }, "block stream number is out of range"},
    {"decoded total wraps", [](Index& i) { i.blocks[1].decoded_bytes = kMax - 99; }, "decoded offset overflow"},
    {"blocks start at one bit", [](Index& i) { i.blocks[1].compressed_start_bit = 32; },
     "block compressed offsets are not increasing"},
    {"overlapping blocks", [](Index& i) { i.blocks[0].compressed_end_bit = 1500; },
     "block compressed ranges are not contiguous"},
    {"total off by one", [](Index& i) { i.decoded_bytes = 351; }, "decoded size does not match block records"},
    {"level 0", [](Index& i) { i.streams[1].block_size_100k = 0; }, "stream record is inconsistent"},
    {"level 10", [](Index& i) { i.streams[2].block_size_100k = 10; }, "stream record is inconsistent"},
    {"first block skipped", [](Index& i) { i.streams[2].first_block = 3; }, "stream record is inconsistent"},
    {"decoded start off", [](Index& i) { i.streams[1].decoded_start = 299; }, "stream record is inconsistent"},
    {"end magic past input", [](Index& i) { i.streams[2].eos_bit = 8001; }, "stream record is inconsistent"},
    {"block count wraps", [](Index& i) { i.streams[2].block_count = kMax - 1; }, "stream block count overflow"},
    {"too many blocks", [](Index& i) { i.streams[2].block_count = 2; }, "stream block range is out of bounds"},
    {"block in the wrong stream", [](Index& i) { i.blocks[2].stream = 1; }, "block belongs to the wrong stream"},
    {"stream sizes wrap", [](Index& i) {
       i.streams[0].decoded_bytes = i.streams[1].decoded_start = kMax, i.streams[1].decoded_bytes = 1;
     }, "stream size overflow"},
    // Last, what no input has: blocks that leave bits out or overlap, a stream
    // whose blocks do not fill it from header to end magic, or whose size is
    // not theirs.
    {"a block left out", [](Index& i) {
       i.blocks.erase(i.blocks.begin() + 1);
       i.blocks[1].decoded_start = i.streams[1].decoded_start = i.streams[2].decoded_start = 100;
       i.decoded_bytes = 150;
       i.streams[0].decoded_bytes = 100;
       i.streams[0].block_count = 1, i.streams[1].first_block = i.streams[2].first_block = 1;
     }, "block compressed ranges are not contiguous"},
    {"gap between blocks", [](Index& i) { i.blocks[1].compressed_start_bit = 1001; },
     "block compressed ranges are not contiguous"},
    {"first block not after the header", [](Index& i) { i.streams[0].header_byte = 1; },
     "block compressed ranges are not contiguous"},
    {"header past every bit", [](Index& i) { i.streams[2].header_byte = kMax; },
     "block compressed ranges are not contiguous"},
    {"end magic after the last block", [](Index& i) { i.streams[0].eos_bit = 2001; },
     "block compressed ranges are not contiguous"},
    {"bits in a stream without blocks", [](Index& i) { i.streams[1].eos_bit = 2128; },
     "block compressed ranges are not contiguous"},
    {"stream sizes shifted", [](Index& i) {
       i.streams[0].decoded_bytes = i.streams[1].decoded_start = i.streams[2].decoded_start = 320;
       i.streams[2].decoded_bytes = 30;
     }, "stream record does not match its blocks"},
    {"bytes in a stream without blocks", [](Index& i) {
       i.streams[0].decoded_bytes = i.streams[1].decoded_start = 299, i.streams[1].decoded_bytes = 1;
     }, "stream record does not match its blocks"},
    {"orphan block", [](Index& i) { i.streams[2].block_count = 0; }, "stream records do not cover decoded data"},
    {"orphan bytes", [](Index& i) { i.streams[2].decoded_bytes = 49; }, "stream records do not cover decoded data"},
    {"blocks but no streams", [](Index& i) { i.streams.clear(); }, "block stream number is out of range"},
};

TEST(IndexValidate, EachRuleAndEdge) {
  const auto source = sample_source();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Index index = sample_index();
    ASSERT_TRUE(index.validate());
    c.change(index);
    const auto result = index.validate();
    if (c.reason == nullptr) {
      EXPECT_TRUE(result.has_value()) << result.error().display();
      // Every accepted index reads back equal from its image.
      if (index.source_bytes == source.size()) { EXPECT_EQ(Index::from_bytes(index.to_bytes(), source), index); }
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().tag(), Error::Tag::InvalidIndex);
    EXPECT_EQ(result.error().reason(), c.reason);
    EXPECT_EQ(result.error().display(), std::string("invalid morvane index: ") + c.reason);
  }
}

TEST(IndexValidate, RecordlessIndexes) {
  // Streams without blocks cover no decoded data; a total or a stream size without blocks is refused.
  const std::pair<Index, const char*> cases[] = {
      {Index::create({}, 0, {}, {}), nullptr},
      {Index::create(sample_source(), 0, {{0, 9, 0, 0, 0, 0, 32, 0}, {14, 1, 0, 0, 0, 0, 144, 0}}, {}), nullptr},
      {Index::create({}, 5, {}, {}), "decoded size does not match block records"},
      {Index::create({}, 0, {{0, 9, 0, 0, 0, 1, 0, 0}}, {}), "stream records do not cover decoded data"},
      {Index::create({}, 0, {{0, 9, 0, 0, 0, 0, 0, 0}}, {}), "block compressed ranges are not contiguous"},
  };
  for (const auto& [index, reason] : cases) {
    const auto result = index.validate();
    EXPECT_EQ(result.has_value(), reason == nullptr);
    if (!result) { EXPECT_EQ(result.error().reason(), reason); }
  }
}

}  // namespace
}  // namespace morvane::index
