// The decode entry points: the options check, the thread count, the two roads
// on real-compressor files, and the scanning road's own errors.
#include <gtest/gtest.h>
#include <sched.h>

#include "morvane/constants.hpp"
#include "morvane/decode/cpu_quota.hpp"
#include "morvane/decode/engine.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/recording_writer.hpp"

using namespace morvane;
using namespace morvane::decode;
using namespace morvane::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

Result<void> decompress(std::span<const std::uint8_t> data, Calls& calls, DecodeOptions options,
                        std::size_t fail_at = 0) {
  CallWriter writer{calls, fail_at};
  return decompress_to_writer_with_progress(data, writer, options, recorder(calls));
}

// The scanning road whatever the thread count.
Result<index::Index> decode_with_index(std::span<const std::uint8_t> data, Calls& calls, DecodeOptions options) {
  CallWriter writer{calls};
  return decode_to_writer_impl(data, writer, options, recorder(calls));
}

struct Sample {
  std::string name;
  Bytes decoded, compressed;
};

// Files of the real compressors: many level-1 blocks, level-9 blocks, pbzip2's
// many streams, Python's bz2, an empty content, one byte, streams of two levels.
const std::vector<Sample>& samples() {
  static const std::vector<Sample> all = [] {
    auto text = test::text_bytes(1200000, 11), big = test::text_bytes(2000000, 12);
    auto parts = test::text_bytes(600000, 13), noise = test::random_bytes(250000, 14);
    auto small = test::text_bytes(150000, 15);
    Bytes one{'x'};
    return std::vector<Sample>{
        {"bzip2 -1", text, test::bzip2_compress(text, 1)},
        {"bzip2 -9", big, test::bzip2_compress(big, 9)},
        {"pbzip2 -1", parts, test::pbzip2_compress(parts, 1, 1)},
        {"python bz2 -1", noise, test::python_bz2_compress(noise, 1)},
        {"empty content", {}, test::bzip2_compress({}, 9)},
        {"one byte", one, test::bzip2_compress(one, 9)},
        {"two levels", test::concat({small, small}),
         test::concat({test::bzip2_compress(small, 1), test::bzip2_compress(small, 9)})},
    };
  }();
  return all;
}

Error limit_error() { return Error::invalid_configuration("memory limit must be at least 46620004 bytes"); }

}  // namespace

TEST(EngineOptions, MemoryLimitIsCheckedFirstOnEveryEntryPoint) {
  const auto& valid = samples()[5].compressed;
  EXPECT_EQ(limit_error().display(), "invalid configuration: memory limit must be at least 46620004 bytes");
  for (std::uint64_t threads : {0, 1, 2, 8}) {
    DecodeOptions low{threads, MAX_BLOCK_OUTPUT - 1};
    Calls calls;
    EXPECT_EQ(decompress(valid, calls, low).error(), limit_error());
    EXPECT_EQ(decode_with_index(valid, calls, low).error(), limit_error());
    EXPECT_EQ(build_index(valid, low).error(), limit_error());
    DiscardWriter discard;
    EXPECT_EQ(decompress_to_writer(valid, discard, low).error(), limit_error());
    EXPECT_EQ(Calls{}, calls);

    EXPECT_TRUE(decompress(valid, calls, {threads, MAX_BLOCK_OUTPUT}));
    EXPECT_EQ(calls.joined(), Bytes{'x'});
  }
}

TEST(EngineOptions, ThreadCountAndCgroupQuota) {
  EXPECT_EQ((DecodeOptions{5, kDefaultMemoryLimit}).resolved_threads(), 5u);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  std::uint64_t zero = DecodeOptions{0, kDefaultMemoryLimit}.resolved_threads();
  EXPECT_GE(zero, 1u);
  EXPECT_LE(zero, static_cast<std::uint64_t>(CPU_COUNT(&set)));
  // Floor of the quota over the period, at least one.
  for (auto [text, expected] : {std::pair<const char*, std::optional<std::uint64_t>>{"max 100000\n", std::nullopt},
                                {"800000 100000\n", 8}, {"150000 100000", 1}, {"50000 100000", 1},
                                {"100000 0", std::nullopt}, {"garbage", std::nullopt}}) {
    EXPECT_EQ(parse_cpu_max(text), expected) << text;
  }
  EXPECT_EQ(parse_cfs_quota("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(parse_cfs_quota("250000\n", "100000\n"), 2u);
}

TEST(EngineRoads, SameBytesSamePiecesAndIndexOnRealCompressorFiles) {
  for (const auto& sample : samples()) {
    SCOPED_TRACE(sample.name);
    Calls serial;
    ASSERT_TRUE(decompress(sample.compressed, serial, {1, kDefaultMemoryLimit}));
    EXPECT_EQ(serial.joined(), sample.decoded);
    EXPECT_EQ(serial.flushes, 1);
    ASSERT_FALSE(serial.progress.empty());
    EXPECT_EQ(serial.progress.back(), std::make_pair(std::uint64_t{sample.compressed.size()},
                                                     std::uint64_t{sample.decoded.size()}));
    auto index = build_index(sample.compressed, {1, kDefaultMemoryLimit});
    ASSERT_TRUE(index) << index.error().display();
    EXPECT_TRUE(index->validate());
    EXPECT_EQ(index->decoded_bytes, sample.decoded.size());
    for (const auto& block : index->blocks) {
      ASSERT_LE(block.decoded_start + block.decoded_bytes, sample.decoded.size());
      EXPECT_EQ(test::crc32(std::span(sample.decoded).subspan(block.decoded_start, block.decoded_bytes)),
                block.expected_crc);
    }
    for (std::uint64_t threads : {1, 2, 3, 8, 32}) {
      for (std::uint64_t limit : {MAX_BLOCK_OUTPUT, kDefaultMemoryLimit}) {
        SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit);
        Calls parallel, scanning;
        ASSERT_TRUE(decompress(sample.compressed, parallel, {threads, limit}));
        EXPECT_EQ(parallel, serial);
        auto scanned = decode_with_index(sample.compressed, scanning, {threads, limit});
        ASSERT_TRUE(scanned);
        EXPECT_EQ(scanning, serial);
        EXPECT_EQ(*scanned, *index);
      }
    }
  }
  // pbzip2 writes one stream per 100000-byte chunk.
  EXPECT_EQ(build_index(samples()[2].compressed, {4, kDefaultMemoryLimit})->streams.size(), 6u);
}

TEST(EngineScanningRoad, EmptyInputIsRefusedOnlyThere) {
  Calls serial;
  EXPECT_TRUE(decompress({}, serial, {1, kDefaultMemoryLimit}));
  EXPECT_EQ(serial.flushes, 1);
  EXPECT_EQ(serial.progress, (decltype(serial.progress){{0, 0}}));
  for (std::uint64_t threads : {1, 2, 8}) {
    Calls calls;
    if (threads > 1) {
      EXPECT_EQ(decompress({}, calls, {threads, kDefaultMemoryLimit}).error(), Error::invalid_stream_header());
    }
    EXPECT_EQ(decode_with_index({}, calls, {threads, kDefaultMemoryLimit}).error(), Error::invalid_stream_header());
    EXPECT_EQ(build_index({}, {threads, kDefaultMemoryLimit}).error(), Error::invalid_stream_header());
    EXPECT_EQ(calls, Calls{});
  }
}

TEST(EngineScanningRoad, TrailingBytesAndDamagedSecondStreamFailAtTheirFirstBit) {
  const auto& sample = samples()[0];
  const std::uint64_t end = 8 * sample.compressed.size();
  auto zeros = test::concat({sample.compressed, Bytes(4, 0)});
  auto two = test::concat({sample.compressed, Bytes{1, 2}});
  auto first = test::bzip2_compress(test::text_bytes(50000, 21), 9);
  auto damaged = test::concat({first, test::bzip2_compress(test::text_bytes(50000, 22), 9)});
  const std::uint64_t g = first.size();
  ASSERT_EQ(damaged[g + 4], 0x31);  // the first byte of the block magic after "BZh9"
  damaged[g + 4] ^= 0x40;
  for (std::uint64_t threads : {1, 4}) {
    EXPECT_EQ(build_index(zeros, {threads, kDefaultMemoryLimit}).error(), Error::decode(end, DecodeError::InvalidMagic));
    EXPECT_EQ(build_index(two, {threads, kDefaultMemoryLimit}).error(), Error::decode(end, DecodeError::Truncated));
    EXPECT_EQ(build_index(damaged, {threads, kDefaultMemoryLimit}).error(),
              Error::decode(8 * g + 32, DecodeError::InvalidMagic));
  }
  // Every block was written before the failure; no flush, no final progress call.
  Calls calls;
  EXPECT_EQ(decompress(zeros, calls, {4, kDefaultMemoryLimit}).error(), Error::decode(end, DecodeError::InvalidMagic));
  EXPECT_EQ(calls.joined(), sample.decoded);
  EXPECT_EQ(calls.flushes, 0);
  EXPECT_EQ(calls.progress.size(), calls.pieces.size());
}

TEST(EngineScanningRoad, StreamCrcMismatchAfterAllBlocksWereWritten) {
  const auto& sample = samples()[0];
  const std::uint64_t eos = build_index(sample.compressed, {1, kDefaultMemoryLimit}).value().streams[0].eos_bit;
  auto data = sample.compressed;
  const std::uint64_t crc_bit = eos + 48 + 5;
  data[crc_bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (crc_bit % 8));
  for (std::uint64_t threads : {2, 8}) {
    Calls calls;
    EXPECT_EQ(decompress(data, calls, {threads, kDefaultMemoryLimit}).error(), Error::decode(eos, DecodeError::CrcMismatch));
    EXPECT_EQ(calls.joined(), sample.decoded);
    EXPECT_EQ(calls.flushes, 0);
  }
  EXPECT_EQ(build_index(data, {1, kDefaultMemoryLimit}).error(), Error::decode(eos, DecodeError::CrcMismatch));
}

TEST(EngineScanningRoad, StreamLevelBoundsTheBlockSymbols) {
  // Candidates decode under the level-9 limits; a level-1 block may hold
  // 100000 symbols, and one more fails at the block's magic.
  for (std::size_t symbols : {kSymbolsPerLevel, kSymbolsPerLevel + 1}) {
    const bool fits = symbols == kSymbolsPerLevel;
    Bytes data(symbols);
    for (std::size_t i = 0; i < symbols; ++i) data[i] = static_cast<std::uint8_t>((i * 7 + i / 3) % 251);
    ASSERT_EQ(test::initial_rle(data).size(), symbols);
    std::vector<Bytes> chunks = {data};
    auto stream = test::make_stream(1, chunks);
    for (std::uint64_t threads : {1, 4}) {
      auto index = build_index(stream, {threads, kDefaultMemoryLimit});
      if (fits) {
        EXPECT_TRUE(index) << index.error().display();
      } else {
        EXPECT_EQ(index.error(), Error::decode(32, DecodeError::BlockOverflow));
      }
    }
    Calls calls;
    EXPECT_EQ(decompress(stream, calls, {2, kDefaultMemoryLimit}).has_value(), fits);
    EXPECT_EQ(calls.pieces.size(), fits ? 1u : 0u);
  }
}

TEST(EngineWriter, FailureOnTheThirdBlockEndsTheDecode) {
  const auto& sample = samples()[0];
  auto index = build_index(sample.compressed, {1, kDefaultMemoryLimit}).value();
  ASSERT_GE(index.blocks.size(), 4u);
  for (std::uint64_t threads : {1, 2, 8}) {
    SCOPED_TRACE(threads);
    Calls calls;
    auto result = decompress(sample.compressed, calls, {threads, kDefaultMemoryLimit}, 3);
    ASSERT_FALSE(result);
    ASSERT_EQ(result.error().tag(), Error::Tag::Io);
    EXPECT_EQ(result.error().display(), "disk full");
    ASSERT_EQ(calls.pieces.size(), 2u);
    EXPECT_EQ(calls.pieces[1].size(), index.blocks[1].decoded_bytes);
    EXPECT_EQ(calls.flushes, 0);
    EXPECT_EQ(calls.progress.size(), 2u);
  }
}

TEST(EngineRoads, ManyEmptyStreamsDecodeAndIndex) {
  // 600 streams of 14 bytes without a block: 600 end markers, more than
  // (8400 >> 4) + 64 = 589, and no block marker at all.
  auto empty = test::bzip2_compress({}, 9);
  ASSERT_EQ(empty.size(), 14u);
  Bytes data;
  for (int i = 0; i < 600; ++i) data.insert(data.end(), empty.begin(), empty.end());
  for (std::uint64_t threads : {1, 4}) {
    auto index = build_index(data, {threads, kDefaultMemoryLimit});
    ASSERT_TRUE(index) << index.error().display();
    EXPECT_EQ(index->streams.size(), 600u);
    EXPECT_TRUE(index->blocks.empty());
    EXPECT_EQ(index->streams[599].header_byte, 599u * 14);
    Calls calls;
    EXPECT_TRUE(decompress(data, calls, {threads, kDefaultMemoryLimit}));
    EXPECT_TRUE(calls.pieces.empty());
    EXPECT_EQ(calls.flushes, 1);
  }
}

TEST(EngineRoads, BlockEndingWithoutItsRepeatCountIsRefusedEverywhere) {
  // One block whose final run-length stage ends right after four equal bytes:
  // bzip2, lbzip2 and Python's bz2 refuse it, and so does every road here, at
  // the block's first bit.
  const Bytes stream = {0x42, 0x5a, 0x68, 0x31, 0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xe1, 0x6e, 0x65,
                        0x71, 0x00, 0x00, 0x01, 0x84, 0x00, 0x20, 0x00, 0x20, 0x00, 0x21, 0x18, 0x46,
                        0xe0, 0xbb, 0x92, 0x29, 0xc2, 0x84, 0x87, 0x0b, 0x73, 0x2b, 0x88};
  ASSERT_FALSE(test::python_bz2_decompress(stream));
  const Error refused = Error::decode(32, DecodeError::InvalidBlock);
  for (std::uint64_t threads : {1, 2, 8}) {
    Calls calls;
    EXPECT_EQ(decompress(stream, calls, {threads, kDefaultMemoryLimit}).error(), refused);
    EXPECT_TRUE(calls.pieces.empty());
    EXPECT_EQ(build_index(stream, {threads, kDefaultMemoryLimit}).error(), refused);
  }
}
