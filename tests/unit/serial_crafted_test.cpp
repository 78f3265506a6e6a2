// The serial stream decoder on crafted and reference-made inputs: stream
// headers, end-of-stream records, padding, concatenation, the per-stream
// level and what the writer and the progress callback see.
#include <gtest/gtest.h>

#include "morvane/decoder/serial.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

// Records every call the decoder makes, in order.
struct Recorder {
  std::vector<std::uint8_t> out;
  std::vector<std::string> calls;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    calls.push_back("write " + std::to_string(bytes.size()));
    return {};
  }
  std::expected<void, IoError> flush() {
    calls.push_back("flush");
    return {};
  }
};

struct Outcome {
  Result<void> result;
  Recorder writer;
};

Outcome run(std::span<const std::uint8_t> input) {
  Outcome r{{}, {}};
  r.result = decoder::decode_serial_with_progress(input, r.writer, [&](std::uint64_t consumed, std::uint64_t total) {
    r.writer.calls.push_back("progress " + std::to_string(consumed) + " " + std::to_string(total));
  });
  return r;
}

testing::AssertionResult fails_with(const Result<void>& r, std::uint64_t bit, DecodeError kind) {
  const Error want = Error::decode(bit, kind);
  if (r) return testing::AssertionFailure() << "succeeded; expected " << want.display();
  if (r.error() == want) return testing::AssertionSuccess();
  return testing::AssertionFailure() << r.error().display() << "; expected " << want.display();
}

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// A crafted stream of one block per chunk, with the positions of its records.
struct CraftedStream {
  std::vector<std::uint8_t> bytes;
  std::vector<BlockLayout> blocks;
  std::uint64_t end_magic = 0;
};

CraftedStream craft_stream(unsigned level, const std::vector<std::vector<std::uint8_t>>& chunks,
                           bool pad_with_ones = false, std::uint32_t crc_xor = 0) {
  BitWriter out;
  CraftedStream s;
  write_stream_header(out, level);
  std::uint32_t combined = 0;
  for (const auto& chunk : chunks) {
    BlockFields f = block_from_bytes(chunk);
    s.blocks.push_back(write_block(out, f));
    combined = combine_crc(combined, f.stored_crc);
  }
  s.end_magic = out.pos();
  write_stream_end(out, combined ^ crc_xor, pad_with_ones);
  s.bytes = out.take();
  return s;
}

std::vector<std::uint8_t> empty_stream(unsigned level, std::uint32_t crc) {
  BitWriter out;
  write_stream_header(out, level);
  write_stream_end(out, crc);
  return out.take();
}

}  // namespace

TEST(SerialCrafted, StreamWithoutBlocks) {
  Outcome ok = run(empty_stream(9, 0));
  ASSERT_TRUE(ok.result.has_value()) << ok.result.error().display();
  EXPECT_EQ(ok.writer.calls, (std::vector<std::string>{"flush", "progress 14 0"}));
  EXPECT_TRUE(fails_with(run(empty_stream(9, 1)).result, 32, DecodeError::CrcMismatch));
  auto two = concat({empty_stream(1, 0), empty_stream(9, 0)});
  EXPECT_TRUE(run(two).result.has_value());
}

TEST(SerialCrafted, EmptyInputSucceeds) {
  Outcome r = run({});
  ASSERT_TRUE(r.result.has_value());
  EXPECT_EQ(r.writer.calls, (std::vector<std::string>{"flush", "progress 0 0"}));
}

TEST(SerialCrafted, WriterAndProgressPerBlock) {
  std::vector<std::vector<std::uint8_t>> chunks = {text_bytes(3000, 1), bytes_of("x"), random_bytes(700, 2)};
  CraftedStream s = craft_stream(9, chunks);
  ASSERT_EQ(bzip2_decompress(s.bytes), concat({chunks[0], chunks[1], chunks[2]})) << "builder fault";
  Outcome r = run(s.bytes);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().display();
  EXPECT_TRUE(r.writer.out == concat({chunks[0], chunks[1], chunks[2]}));
  // A block ending inside byte k has consumed k + 1 bytes.
  std::vector<std::string> expected;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    total += chunks[i].size();
    expected.push_back("write " + std::to_string(chunks[i].size()));
    expected.push_back("progress " + std::to_string(s.blocks[i].end / 8 + 1) + " " + std::to_string(total));
    ASSERT_NE(s.blocks[i].end % 8, 0u) << "pick chunks whose blocks end inside a byte";
  }
  expected.push_back("flush");
  expected.push_back("progress " + std::to_string(s.bytes.size()) + " " + std::to_string(total));
  EXPECT_EQ(r.writer.calls, expected);
}

TEST(SerialCrafted, PaddingBitsAreNotLookedAt) {
  std::vector<std::vector<std::uint8_t>> first = {text_bytes(1000, 3)}, second = {bytes_of("second")};
  CraftedStream a = craft_stream(5, first, true);
  ASSERT_NE((a.end_magic + 80) % 8, 0u) << "the stream needs padding bits";
  auto input = concat({a.bytes, craft_stream(2, second).bytes});
  ASSERT_EQ(bzip2_decompress(input), concat({first[0], second[0]})) << "builder fault";
  Outcome r = run(input);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().display();
  EXPECT_TRUE(r.writer.out == concat({first[0], second[0]}));
}

TEST(SerialCrafted, ConcatenatedStreamsOfEveryMaker) {
  auto a = text_bytes(150000, 4), b = random_bytes(3000, 5), c = text_bytes(20000, 6), d = text_bytes(250000, 7);
  auto input = concat({bzip2_compress(a, 1), bzip2_compress(b, 9), python_bz2_compress(c, 4),
                       pbzip2_compress(d, 9, 1), empty_stream(3, 0)});
  Outcome r = run(input);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().display();
  EXPECT_TRUE(r.writer.out == concat({a, b, c, d}));
}

TEST(SerialCrafted, EachStreamHasItsOwnSymbolLimit) {
  // 100001 symbols: too many for level 1, fine for level 2.
  auto data = random_bytes(100001, 11);
  ASSERT_EQ(initial_rle(data).size(), 100001u);
  std::vector<std::vector<std::uint8_t>> chunks = {data};
  auto level2 = craft_stream(2, chunks);
  Outcome ok = run(concat({level2.bytes, level2.bytes}));
  ASSERT_TRUE(ok.result.has_value()) << ok.result.error().display();
  EXPECT_TRUE(ok.writer.out == concat({data, data}));

  BlockFields f = block_from_bytes(data);
  auto level1 = craft_stream(1, chunks);
  auto input = concat({level2.bytes, level1.bytes});
  const BlockLayout& at = level1.blocks[0];
  const std::uint64_t base = 8 * level2.bytes.size();
  // The extra symbol is a literal (failing at once) or ends a run (failing at the end of block).
  const bool ends_in_run = f.symbols.end()[-2] <= kRunB;
  Outcome r = run(input);
  EXPECT_TRUE(ends_in_run ? fails_with(r.result, base + at.symbol_ends.back(), DecodeError::BlockOverflow)
                          : fails_with(r.result, base + at.symbol_ends.end()[-2], DecodeError::InvalidBlock));
  EXPECT_TRUE(r.writer.out == data) << "the first stream's block was written";
}

TEST(SerialCrafted, StreamHeaders) {
  auto good = craft_stream(9, {bytes_of("hello")}).bytes;
  auto with_header = [&](std::string_view header) {
    auto bytes = good;
    std::copy(header.begin(), header.end(), bytes.begin());
    return bytes;
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> input;
    std::uint64_t bit;
    DecodeError kind;
  } cases[] = {
      {"level digit 0", with_header("BZh0"), 24, DecodeError::InvalidLevel},
      {"level digit ':'", with_header("BZh:"), 24, DecodeError::InvalidLevel},
      {"third byte wrong", with_header("BZH9"), 0, DecodeError::InvalidMagic},
      {"first byte wrong", with_header("bZh9"), 0, DecodeError::InvalidMagic},
      {"three bytes", bytes_of("BZh"), 0, DecodeError::Truncated},
      {"header only", bytes_of("BZh9"), 32, DecodeError::Truncated},
      {"header and 2 bytes", bytes_of("BZh91A"), 32, DecodeError::Truncated},
      {"header and half a magic", concat({bytes_of("BZh9"), std::vector<std::uint8_t>{0x31, 0x41, 0x59, 0x26}}), 56,
       DecodeError::Truncated},
      {"header and no magic", concat({bytes_of("BZh9"), std::vector<std::uint8_t>(6, 0)}), 32,
       DecodeError::InvalidMagic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(fails_with(run(c.input).result, c.bit, c.kind));
  }
}

TEST(SerialCrafted, WhatFollowsAStream) {
  auto first = craft_stream(9, {bytes_of("first")}).bytes;
  const std::uint64_t next = 8 * first.size();
  auto second = empty_stream(9, 0);
  auto with_first_byte = [&](std::uint8_t b) {
    auto s = second;
    s[0] = b;
    return s;
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> tail;
    std::uint64_t bit;
    DecodeError kind;
  } cases[] = {
      {"two bytes", {0x42, 0x5A}, next, DecodeError::Truncated},
      {"four zero bytes", {0, 0, 0, 0}, next, DecodeError::InvalidMagic},
      {"second stream's first byte wrong", with_first_byte('C'), next, DecodeError::InvalidMagic},
      {"second stream's level wrong", [&] { auto s = second; s[3] = '0'; return s; }(), next + 24,
       DecodeError::InvalidLevel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome r = run(concat({first, c.tail}));
    EXPECT_TRUE(fails_with(r.result, c.bit, c.kind));
    EXPECT_TRUE(r.writer.out == bytes_of("first"));
  }
}

TEST(SerialCrafted, EndOfStreamRecord) {
  std::vector<std::vector<std::uint8_t>> chunks = {text_bytes(500, 1), text_bytes(600, 2)};
  CraftedStream s = craft_stream(9, chunks, false, 0x10);
  Outcome wrong = run(s.bytes);
  EXPECT_TRUE(fails_with(wrong.result, s.end_magic, DecodeError::CrcMismatch));
  EXPECT_TRUE(wrong.writer.out == concat({chunks[0], chunks[1]})) << "every block was written first";

  CraftedStream cut = craft_stream(9, chunks);
  cut.bytes.resize((cut.end_magic + 48 + 31) / 8);  // less than the 32-bit CRC
  EXPECT_TRUE(fails_with(run(cut.bytes).result, cut.end_magic + 48, DecodeError::Truncated));
}

TEST(SerialCrafted, BlockFailuresPassThrough) {
  BitWriter out;
  write_stream_header(out, 9);
  BlockFields good = block_from_bytes(text_bytes(800, 1));
  BlockFields bad = block_from_bytes(text_bytes(900, 2));
  bad.stored_crc ^= 1;
  write_block(out, good);
  BlockLayout at = write_block(out, bad);
  write_stream_end(out, combine_crc(combine_crc(0, good.stored_crc), bad.stored_crc));
  Outcome r = run(out.bytes());
  EXPECT_TRUE(fails_with(r.result, at.start, DecodeError::CrcMismatch));
  EXPECT_TRUE(r.writer.out == text_bytes(800, 1));
  EXPECT_EQ(r.writer.calls.size(), 2u) << "one write and one progress call, no flush";
}
