// The fuzz targets' input builder: what it calls valid decodes to its data
// with the reference decoder, every damage breaks the field it names (the
// serial road's error kind says so), the large mode passes 1 MiB, bytes that
// begin with 'B' pass unchanged, and the independent check for an
// over-subscribed table agrees with the decoder's refusals.
#include <gtest/gtest.h>

#include <random>

#include "morvane/decode/markers.hpp"
#include "morvane/decoder/serial.hpp"
#include "support/bz2_tools.hpp"
#include "support/fuzz_stream.hpp"
#include "support/reference_scan.hpp"

using namespace morvane;
using namespace morvane::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Fuzz bytes of the built mode asking for `damage`, the rest random.
Bytes fuzz_bytes(std::uint64_t seed, Damage damage, std::size_t n = 600) {
  std::mt19937_64 random(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  bytes[0] = 'x';
  bytes[1] = damage == Damage::kNone ? bytes[1] % 128 : 127 + static_cast<std::uint8_t>(damage);
  return bytes;
}

Result<void> serial(std::span<const std::uint8_t> input, Bytes& out) {
  VectorWriter writer{out};
  return decoder::decode_serial(input, writer);
}

}  // namespace

TEST(FuzzStream, ValidInputsDecodeToTheirDataWithTheReferenceDecoder) {
  std::uint64_t streams_of_blocks = 0, planted = 0, over_cap = 0;
  for (std::uint64_t seed = 0; seed < 120; ++seed) {
    SCOPED_TRACE(seed);
    const FuzzStream s = fuzz_stream(fuzz_bytes(seed, Damage::kNone));
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(bzip2_decompress(s.input), s.decoded);
    Bytes out;
    ASSERT_TRUE(serial(s.input, out));
    EXPECT_EQ(out, s.decoded);
    streams_of_blocks += s.blocks > 1;
    planted += s.planted > 0;
    over_cap += reference_scan(s.input).blocks.size() > decode::marker_cap(s.input.size());
  }
  // The shapes the targets count on do come up.
  EXPECT_GT(streams_of_blocks, 40u);
  EXPECT_GT(planted, 10u);
  EXPECT_GT(over_cap, 0u);
}

TEST(FuzzStream, EachDamageBreaksTheFieldItNames) {
  const std::pair<Damage, std::vector<DecodeError>> expected[] = {
      {Damage::kBlockCrc, {DecodeError::CrcMismatch}},
      {Damage::kRandomised, {DecodeError::RandomizedBlock}},
      {Damage::kOrigin, {DecodeError::InvalidBlock}},
      {Damage::kNoBytesUsed, {DecodeError::InvalidBlock}},
      {Damage::kTableCount, {DecodeError::InvalidHuffman}},
      {Damage::kSelectors, {DecodeError::InvalidBlock}},
      {Damage::kSelectorRange, {DecodeError::InvalidBlock}},
      {Damage::kOverSubscribed, {DecodeError::InvalidHuffman}},
      {Damage::kLengthRange, {DecodeError::InvalidHuffman}},
      {Damage::kEmptyBlock, {DecodeError::InvalidBlock}},
      {Damage::kLongRun, {DecodeError::BlockOverflow}},
      {Damage::kBlockTail, {DecodeError::InvalidMagic}},
      {Damage::kStreamCrc, {DecodeError::CrcMismatch}},
      {Damage::kLevel, {DecodeError::InvalidLevel}},
      {Damage::kTrailing, {DecodeError::InvalidMagic, DecodeError::Truncated}},
  };
  for (const auto& [damage, kinds] : expected) {
    for (std::uint64_t seed = 0; seed < 25; ++seed) {
      SCOPED_TRACE(testing::Message() << damage_name(damage) << ", seed " << seed);
      const FuzzStream s = fuzz_stream(fuzz_bytes(seed, damage));
      // Without any block, a block's damage becomes the stream CRC's.
      if (s.blocks == 0 && s.damage == Damage::kStreamCrc) continue;
      ASSERT_EQ(s.damage, damage);
      Bytes out;
      auto decoded = serial(s.input, out);
      ASSERT_FALSE(decoded);
      const auto* failure = decoded.error().get_if<Error::Decode>();
      ASSERT_NE(failure, nullptr) << decoded.error().display();
      EXPECT_NE(std::find(kinds.begin(), kinds.end(), failure->source), kinds.end()) << decoded.error().display();
      // The check written apart from the decoder finds exactly the refusals
      // of over-subscribed tables among these.
      if (failure->source == DecodeError::InvalidHuffman) {
        EXPECT_EQ(over_subscribed_table_ends_at(s.input, failure->bit_offset), damage == Damage::kOverSubscribed);
      }
      if (failure->source == DecodeError::RandomizedBlock) {
        EXPECT_TRUE(randomised_block_at(s.input, failure->bit_offset));
      }
    }
  }
}

TEST(FuzzStream, TheLargeModePassesAMebibyteAndDecodes) {
  for (std::uint64_t seed = 0; seed < 3; ++seed) {
    SCOPED_TRACE(seed);
    const FuzzStream s = fuzz_stream(fuzz_bytes(seed, Damage::kNone, 64), true);
    ASSERT_TRUE(s.valid());
    EXPECT_GT(s.input.size(), std::size_t{1} << 20);
    EXPECT_LT(s.input.size(), std::size_t{5} << 18);
    Bytes out;
    ASSERT_TRUE(serial(s.input, out));
    EXPECT_TRUE(out == s.decoded);
  }
}

TEST(FuzzStream, BytesThatBeginWithBAreTheInput) {
  for (const Bytes& bytes : {Bytes{}, Bytes{'B'}, Bytes{'B', 'Z', 'h', '9', 0, 1}}) {
    const FuzzStream s = fuzz_stream(bytes);
    EXPECT_FALSE(s.built);
    EXPECT_EQ(s.input, bytes);
  }
  EXPECT_TRUE(fuzz_stream(Bytes{'A'}).valid());
}
