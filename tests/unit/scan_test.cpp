// The scans: an independent reference scan compared with the full scan and
// with the engine's magic scan (pooled and unpooled, chunk boundaries, the
// cap), field bounds and the header check.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "morvane/bitreader/bit_reader.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/scan.hpp"
#include "support/checks.hpp"
#include "support/reference_scan.hpp"

using namespace morvane;
using format::BlockCandidate;
using format::EndCandidate;
using format::ScanResult;
using format::StreamCandidate;
using Bytes = std::vector<std::uint8_t>;
using PoolPtr = const concurrency::ThreadPool*;
using test::bits_at;
using test::make_pool;
using test::reference_scan;

namespace {

constexpr std::uint64_t kMiB = 1048576;

// Overwrites `count` bits of `data` at bit `bit` with `value`, most significant first.
void put_bits(Bytes& data, std::uint64_t bit, std::uint64_t value, unsigned count) {
  for (unsigned k = 0; k < count; ++k, ++bit) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
    data.at(bit / 8) = static_cast<std::uint8_t>((value >> (count - 1 - k)) & 1 ? data[bit / 8] | mask
                                                                                 : data[bit / 8] & ~mask);
  }
}

// A block magic with its CRC, randomized bit and origin pointer at `bit`.
void plant_block(Bytes& data, std::uint64_t bit, std::uint32_t crc, bool randomized, std::uint32_t orig_ptr) {
  put_bits(data, bit, kBlockMagic, 48);
  put_bits(data, bit + 48, crc, 32);
  put_bits(data, bit + 80, randomized, 1);
  put_bits(data, bit + 81, orig_ptr, 24);
}

void plant_end(Bytes& data, std::uint64_t bit, std::uint32_t crc) {
  put_bits(data, bit, kEndMagic, 48);
  put_bits(data, bit + 48, crc, 32);
}

void plant_header(Bytes& data, std::uint64_t byte, char level) {
  for (char c : {'B', 'Z', 'h', level}) data.at(byte++) = static_cast<std::uint8_t>(c);
}

Bytes random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  Bytes data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(rng() >> 56);
  return data;
}

// Valid stream header, then random bytes.
Bytes random_stream_like(std::size_t size, std::uint32_t seed) {
  Bytes data = random_bytes(size, seed);
  plant_header(data, 0, '9');
  return data;
}

ScanResult scan(const Bytes& data) {
  auto result = format::scan_input(data);
  EXPECT_TRUE(result.has_value()) << result.error().display();
  return result ? *result : ScanResult{};
}

// The engine's keys of a full scan: its block and end magics, in bit order.
std::vector<format::MagicKey> keys_of(const ScanResult& r) {
  std::vector<format::MagicKey> keys;
  for (const auto& b : r.blocks) keys.push_back(format::block_key(b.bit_offset));
  for (const auto& e : r.ends) keys.push_back(format::end_key(e.bit_offset));
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The engine's scan with no cap to speak of, its chunks checked to hold only
// their own magics and joined.
std::vector<format::MagicKey> magic_keys(const Bytes& data, PoolPtr pool = nullptr) {
  auto result = format::scan_magics(data, pool, UINT64_MAX);
  EXPECT_TRUE(result.has_value()) << result.error().display();
  if (!result) return {};
  EXPECT_FALSE(result->over_cap);
  EXPECT_EQ(result->chunks.size(), format::scan_chunks(data.size()));
  std::vector<format::MagicKey> keys;
  for (std::size_t c = 0; c < result->chunks.size(); ++c) {
    for (format::MagicKey key : result->chunks[c]) {
      EXPECT_EQ((key >> 1) / 8 / kMiB, c) << "key in the wrong chunk";
      keys.push_back(key);
    }
  }
  return keys;
}

template <class T>
bool contains(const std::vector<T>& items, const T& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}


}  // namespace

TEST(ScanBitReader, ReadsMostSignificantFirstAndReportsMisuse) {
  const Bytes data = {0b1010'0000, 0xFF, 0x01};
  bitreader::BitReader reader(data);
  EXPECT_EQ(reader.read_bit(0).value(), true);
  EXPECT_EQ(reader.read_bit(1).value(), false);
  EXPECT_EQ(reader.read_bits(2, 10).value(), 0b10'0000'1111u);
  EXPECT_EQ(reader.read_bits(23, 1).value(), 1u);
  EXPECT_EQ(reader.read_bits(24, 0).value(), 0u);
  const Bytes wide = random_bytes(10, 3);
  EXPECT_EQ(bitreader::BitReader(wide).read_bits(5, 64).value(), bits_at(wide, 5, 64));

  EXPECT_EQ(reader.read_bits(0, 65).error().display(), "cannot read 65 bits at once; maximum is 64");
  EXPECT_EQ(reader.read_bit(25).error().display(), "bit offset 25 is beyond the 24-bit input");
  EXPECT_EQ(reader.read_bits(20, 8).error().display(), "unexpected end of input at bit 20: requested 8 bits, 4 remain");
  EXPECT_EQ(reader.read_bit(24).error().display(), "unexpected end of input at bit 24: requested 1 bits, 0 remain");
  // A huge offset is an offset error, not a wrapped sum.
  EXPECT_EQ(reader.read_bits(~std::uint64_t{0}, 8).error().tag(), Error::Tag::InvalidBitOffset);
}

TEST(ScanHeader, RejectsInputsWithoutAStreamHeader) {
  for (const Bytes& input : {Bytes{}, Bytes{'B', 'Z', 'h'}, Bytes{'B', 'Z', 'h', '0'}, Bytes{'B', 'Z', 'h', ':'},
                             Bytes{'B', 'Z', 'H', '9'}, Bytes{'b', 'Z', 'h', '9', 0, 0, 0}}) {
    auto result = format::scan_input(input);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().tag(), Error::Tag::InvalidStreamHeader);
    EXPECT_EQ(result.error().display(), "input does not start with a bzip2 BZh1-BZh9 header");
    EXPECT_EQ(format::scan_magics(input, nullptr, 100).error(), result.error());
  }
}

TEST(ScanHeader, ShortInputsGiveTheHeaderAlone) {
  auto pool = make_pool(2);
  for (std::size_t size = 4; size <= 6; ++size) {
    Bytes input(size, 0);
    plant_header(input, 0, '9');
    const ScanResult r = scan(input);
    EXPECT_EQ(r.streams, (std::vector<StreamCandidate>{{0, 9}})) << size;
    EXPECT_TRUE(r.blocks.empty());
    EXPECT_TRUE(r.ends.empty());
    for (PoolPtr p : {PoolPtr{nullptr}, PoolPtr{pool.get()}}) EXPECT_TRUE(magic_keys(input, p).empty());
  }
}

TEST(ScanEdge, MinimalEmptyStream) {
  // What bzip2 writes for no input: header, end-of-stream magic, CRC 0, padding.
  const Bytes made = {'B', 'Z', 'h', '5', 0x17, 0x72, 0x45, 0x38, 0x50, 0x90, 0, 0, 0, 0};
  const ScanResult r = scan(made);
  EXPECT_EQ(r.streams, (std::vector<StreamCandidate>{{0, 5}}));
  EXPECT_TRUE(r.blocks.empty());
  EXPECT_EQ(r.ends, (std::vector<EndCandidate>{{32, 0}}));
  // One byte short, the stored CRC no longer fits.
  const Bytes cut(made.begin(), made.end() - 1);
  EXPECT_TRUE(scan(cut).ends.empty());
}

TEST(ScanRange, TrailingFieldsMustFitTheInput) {
  // A block at bit 87 needs bits up to 87 + 105 = 192, exactly 24 bytes.
  Bytes block(24, 0);
  plant_header(block, 0, '1');
  plant_block(block, 87, 0xDEADBEEF, true, 0xABCDEF);
  EXPECT_EQ(scan(block).blocks, (std::vector<BlockCandidate>{{87, 0xDEADBEEF, 0xABCDEF, true}}));
  block.pop_back();
  EXPECT_TRUE(scan(block).blocks.empty());

  // An end record at bit 80 needs bits up to 160, exactly 20 bytes.
  Bytes end(20, 0);
  plant_header(end, 0, '1');
  plant_end(end, 80, 0x01234567);
  EXPECT_EQ(scan(end).ends, (std::vector<EndCandidate>{{80, 0x01234567}}));
  end.pop_back();
  EXPECT_TRUE(scan(end).ends.empty());
}

TEST(ScanRange, ReportsWhatBeginsInTheRangeWithFieldsPastItsEnd) {
  Bytes data(64, 0xFF);
  plant_header(data, 9, '5');                          // "B" at the range's last byte, "Zh5" past it
  plant_block(data, 8 * 29 + 6, 7, false, 0x000102);  // begins in the last byte of the next range
  const ScanResult first = format::scan_range(data, 0, 10);
  EXPECT_EQ(first.streams, (std::vector<StreamCandidate>{{9, 5}}));
  EXPECT_TRUE(first.blocks.empty());
  const ScanResult second = format::scan_range(data, 10, 30);
  EXPECT_TRUE(second.streams.empty());
  EXPECT_EQ(second.blocks, (std::vector<BlockCandidate>{{8 * 29 + 6, 7, 0x000102, false}}));
  EXPECT_EQ(format::scan_range(data, 30, 64), ScanResult{});
  EXPECT_EQ(format::scan_range(data, 5, 5), ScanResult{});

  // A header whose four bytes would pass the input's end is not one.
  Bytes tail(10, 0);
  std::copy_n("BZh", 3, tail.begin() + 7);
  EXPECT_TRUE(format::scan_range(tail, 0, 10).streams.empty());
}

TEST(ScanPool, PooledAndUnpooledAgreeAcrossChunkBoundaries) {
  Bytes data = random_stream_like(3 * kMiB + 12345, 1);
  const std::uint64_t chunk_bits = 8 * kMiB;
  // Magics at and around the chunk boundaries, at every bit alignment; no
  // two planted patterns share a bit.
  plant_block(data, chunk_bits - 1, 0x11111111, false, 0x123456);  // last bit of chunk 0
  plant_end(data, chunk_bits + 200, 0x22222222);
  for (unsigned z = 0; z < 8; ++z) plant_block(data, chunk_bits + 4096 + 256 * z + z, z, z % 2, z);
  plant_end(data, 2 * chunk_bits - 100, 0x44444444);
  plant_header(data, 2 * kMiB - 1, '3');  // "B" in chunk 1, "Zh3" in chunk 2
  plant_block(data, 2 * chunk_bits + 40, 0x33333333, true, 0xFFFFFF);
  plant_block(data, 3 * chunk_bits - 47, 0x55555555, false, 0);  // its magic ends in chunk 3
  plant_header(data, 3 * kMiB + 20, '7');
  plant_end(data, 8 * data.size() - 80, 0x66666666);  // the last record that fits

  const ScanResult reference = reference_scan(data);
  ASSERT_GE(reference.blocks.size(), 11u);
  ASSERT_EQ(reference.blocks.front().bit_offset, chunk_bits - 1);
  ASSERT_TRUE(contains(reference.streams, StreamCandidate{2 * kMiB - 1, 3}));
  ASSERT_EQ(reference.ends.back(), (EndCandidate{8 * data.size() - 80, 0x66666666}));

  EXPECT_EQ(scan(data), reference);
  const auto keys = keys_of(reference);
  EXPECT_EQ(magic_keys(data), keys);
  for (std::uint64_t threads : {2, 3, 8}) {
    auto pool = make_pool(threads);
    EXPECT_EQ(magic_keys(data, pool.get()), keys) << threads << " threads";
    EXPECT_EQ(pool->chunks_run(), 4u);
  }
}

TEST(ScanPool, OneMiBIsOneChunkOneByteMoreIsTwo) {
  auto pool = make_pool(4);
  Bytes data = random_stream_like(kMiB, 2);
  plant_end(data, 8 * kMiB - 80, 0xCAFEF00D);
  EXPECT_EQ(magic_keys(data, pool.get()), keys_of(reference_scan(data)));
  EXPECT_EQ(pool->chunks_run(), 0u);

  data.push_back(0x5A);
  plant_block(data, 8 * kMiB - 100, 1, true, 2);  // in chunk 0, its origin pointer in chunk 1
  const auto keys = magic_keys(data, pool.get());
  EXPECT_EQ(pool->chunks_run(), 2u);
  EXPECT_EQ(keys, keys_of(reference_scan(data)));
  EXPECT_EQ(keys.back(), format::block_key(8 * kMiB - 100));
}

TEST(ScanCap, BlockMagicsPastTheCapStopTheScanOnEveryChunk) {
  // Block magics every 128 bits from 2 MiB on, end magics between them: the
  // cap counts block magics only, exactly the cap is accepted, one fewer is
  // refused, pooled or not.
  Bytes data = random_stream_like(5 * kMiB, 4);
  const std::uint64_t from = 2 * 8 * kMiB;
  for (std::uint64_t bit = from; bit + 256 < 8 * data.size(); bit += 256) {
    plant_block(data, bit, 0, false, 0);
    plant_end(data, bit + 128, 0);
  }
  const ScanResult reference = reference_scan(data);
  const std::uint64_t blocks = reference.blocks.size();
  ASSERT_GT(blocks, 90000u);
  ASSERT_GT(reference.ends.size(), 90000u);
  auto pool = make_pool(4);
  for (PoolPtr p : {PoolPtr{nullptr}, PoolPtr{pool.get()}}) {
    auto exact = format::scan_magics(data, p, blocks);
    ASSERT_TRUE(exact);
    EXPECT_FALSE(exact->over_cap);
    auto over = format::scan_magics(data, p, blocks - 1);
    ASSERT_TRUE(over);
    EXPECT_TRUE(over->over_cap);
    EXPECT_TRUE(over->chunks.empty());
  }
}

TEST(ScanRange, EveryAlignmentOfBothMagicsOnDenseInput) {
  // Input full of bytes that the first-byte tables flag, with magics at every
  // bit alignment, so every flagged path is compared against the reference.
  Bytes data(4096, 0);
  std::mt19937 rng(9);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(rng() % 2 ? 0x00 : 0x31);
  plant_header(data, 0, '9');
  for (unsigned z = 0; z < 64; ++z) {
    if (z % 2) plant_end(data, 64 + 200 * z + z, z);
    else plant_block(data, 64 + 200 * z + z, z, true, z);
  }
  const ScanResult r = scan(data);
  EXPECT_EQ(r, reference_scan(data));
  EXPECT_GE(r.blocks.size(), 32u);
  EXPECT_GE(r.ends.size(), 32u);
  EXPECT_EQ(magic_keys(data), keys_of(r));
}
