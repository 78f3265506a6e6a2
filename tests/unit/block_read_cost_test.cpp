// What reading a block costs the speculative engine: the cost a read reports
// (bits read plus entries written) on every outcome, reads that give up as
// soon as the block is no longer wanted (inside its selectors and tables too),
// and the memory an idle decoder is judged by, failed reads included.
#include <gtest/gtest.h>

#include <atomic>

#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

struct Crafted {
  std::vector<std::uint8_t> bytes;
  BlockLayout at;
  std::uint32_t crc;
};

Crafted craft(const BlockFields& f) {
  BitWriter out;
  BlockLayout at = write_block(out, f);
  write_stream_end(out, f.stored_crc);
  return {out.take(), at, f.stored_crc};
}

// A wanted() that already says no: the chain has passed the block.
struct Passed {
  std::atomic<std::uint64_t> chain_at{UINT64_MAX};
  decoder::Wanted wanted() const { return {&chain_at, 0}; }
};

Result<std::optional<decoder::BlockShape>> read(decoder::Decoder& d, const Crafted& c,
                                                const decoder::Wanted& wanted = {}) {
  return decoder::read_candidate(c.bytes, c.at.start, c.crc, d, wanted);
}

// 900000 symbols of text-like data without a run of four equal bytes.
const std::vector<std::uint8_t>& large_data() {
  static const auto data = [] {
    auto bytes = random_bytes(899000, 21);
    for (std::size_t i = 3; i < bytes.size(); ++i)
      if (bytes[i] == bytes[i - 1] && bytes[i] == bytes[i - 2] && bytes[i] == bytes[i - 3]) bytes[i] ^= 1;
    return bytes;
  }();
  return data;
}

}  // namespace

TEST(BlockReadCost, EveryOutcomeReportsTheBitsReadAndTheEntriesWritten) {
  BlockFields f = block_from_bytes(text_bytes(5000, 3));
  Crafted ok = craft(f);
  decoder::Decoder d;
  auto shape = decoder::read_candidate(ok.bytes, ok.at.start, f.stored_crc, d, {});
  ASSERT_TRUE(shape && *shape);
  // From the stored CRC to the end-of-block code, plus one entry per symbol.
  EXPECT_EQ(d.read_cost(), (ok.at.end - ok.at.start - kMagicBits) + (*shape)->symbols);

  // A read that fails inside the symbols still cost what it read and wrote.
  BlockFields bad = f;
  bad.origin = 1u << 23;  // past the symbols: refused once they are all read
  Crafted failed = craft(bad);
  ASSERT_FALSE(read(d, failed));
  EXPECT_EQ(d.read_cost(), (failed.at.end - failed.at.start - kMagicBits) + (*shape)->symbols);

  // One that fails on its stored CRC cost what it read, and nothing is left
  // of the last read's cost when the magic itself is wrong.
  ASSERT_FALSE(decoder::read_candidate(ok.bytes, ok.at.start, f.stored_crc + 1, d, {}));
  EXPECT_EQ(d.read_cost(), kCrcBits);
  ASSERT_FALSE(decoder::read_candidate(ok.bytes, ok.at.start + 1, f.stored_crc, d, {}));
  EXPECT_EQ(d.read_cost(), 0u);
}

TEST(BlockReadCost, AReadGivesUpInsideItsSelectorsAndCodeLengths) {
  // 32767 selectors: a read that is no longer wanted stops within the first
  // few thousand of them, long before its symbols.
  BlockFields many = block_from_bytes(text_bytes(2000, 5));
  while (many.selectors.size() < 32767) many.selectors.push_back(many.selectors.size() % 2 ? 0 : 1);
  Crafted crafted = craft(many);
  decoder::Decoder d;
  Passed passed;
  auto given_up = read(d, crafted, passed.wanted());
  ASSERT_TRUE(given_up);
  EXPECT_FALSE(*given_up);
  // The selectors alone take about 65000 bits.
  EXPECT_LT(d.read_cost(), (crafted.at.selector_starts.back() - crafted.at.start) / 4);

  // A code length may step up and down for as long as its bits say: a read
  // that is no longer wanted stops inside such a walk.
  BlockFields steps = block_from_bytes(text_bytes(2000, 5));
  // The builder writes each length as the steps from the one before; the
  // tail here is never reached. Replace the first table's first length's
  // steps by 20000 pairs of "up, down" through a selector-free raw section.
  BitWriter out;
  const BlockLayout at = write_block(out, steps);
  BitWriter walk;
  const std::vector<std::uint8_t>& bytes = out.bytes();
  for (std::uint64_t i = 0; i < at.table_starts[0] + 5; ++i) walk.put((bytes[i / 8] >> (7 - i % 8)) & 1, 1);
  for (int i = 0; i < 20000; ++i) walk.put(0b1011, 4);  // up, down
  walk.put(0, 1);                                       // this length is done
  for (int i = 0; i < 64; ++i) walk.put(0, 8);
  const auto stepping = walk.take();
  auto stopped = decoder::read_candidate(stepping, at.start, steps.stored_crc, d, passed.wanted());
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(*stopped);
  EXPECT_LT(d.read_cost(), 20000u);
  // Wanted, the same walk is read to its end (and then the block fails further on).
  EXPECT_FALSE(decoder::read_candidate(stepping, at.start, steps.stored_crc, d, {}));
  EXPECT_GT(d.read_cost(), 80000u);
}

TEST(BlockReadCost, AnIdleDecoderIsJudgedByWhatEveryReadTouched) {
  // A small block leaves a decoder that is kept idle; a large one that fails
  // after its symbols (its origin pointer is out of range) touched as much
  // memory as a large one that succeeds, and is not.
  decoder::Decoder d;
  BlockFields small = block_from_bytes(text_bytes(2000, 5));
  ASSERT_TRUE(read(d, craft(small)));
  EXPECT_TRUE(d.small_when_idle());
  BlockFields large = block_from_bytes(large_data());
  large.origin = (1u << 24) - 1;
  const Crafted crafted = craft(large);
  auto failed = read(d, crafted);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::decode(crafted.at.start, DecodeError::InvalidBlock));
  EXPECT_GT(d.memory_touched(), std::size_t{800000} * 4);
  EXPECT_FALSE(d.small_when_idle());
}
