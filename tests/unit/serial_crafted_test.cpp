// The serial stream decoder on crafted inputs: stream headers, end-of-stream
// records, padding, what may follow a stream, the per-stream level and what
// the writer and the progress callback see.
#include <gtest/gtest.h>

#include "morvane/decoder/serial.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/checks.hpp"

using namespace morvane;
using namespace morvane::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Records every call the decoder makes, in order; can refuse one write or the flush.
struct Recorder {
  Bytes out;
  std::vector<std::string> calls;
  int fail_write = -1, writes = 0;
  bool fail_flush = false;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (writes++ == fail_write) return std::unexpected(IoError::custom(IoKind::Other, "sink full"));
    out.insert(out.end(), bytes.begin(), bytes.end());
    calls.push_back("write " + std::to_string(bytes.size()));
    return {};
  }
  std::expected<void, IoError> flush() {
    if (fail_flush) return std::unexpected(IoError::custom(IoKind::Other, "flush refused"));
    calls.push_back("flush");
    return {};
  }
};

struct Outcome {
  Result<void> result;
  Recorder writer;
};

Outcome run(std::span<const std::uint8_t> input, int fail_write = -1, bool fail_flush = false) {
  Outcome r{{}, {}};
  r.writer.fail_write = fail_write, r.writer.fail_flush = fail_flush;
  r.result = decoder::decode_serial_with_progress(input, r.writer, [&](std::uint64_t consumed, std::uint64_t total) {
    r.writer.calls.push_back("progress " + std::to_string(consumed) + " " + std::to_string(total));
  });
  return r;
}

// A crafted stream of one block per chunk, with the positions of its records.
struct CraftedStream {
  Bytes bytes;
  std::vector<BlockLayout> blocks;
  std::uint64_t end_magic = 0;
};

CraftedStream craft_stream(unsigned level, const std::vector<Bytes>& chunks, bool pad_with_ones = false,
                           std::uint32_t crc_xor = 0) {
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

Bytes empty_stream(unsigned level, std::uint32_t crc) { return craft_stream(level, {}, false, crc).bytes; }

}  // namespace

TEST(SerialCrafted, EmptyInputAndStreamWithoutBlocks) {
  Outcome none = run({});
  ASSERT_TRUE(none.result.has_value());
  EXPECT_EQ(none.writer.calls, (std::vector<std::string>{"flush", "progress 0 0"}));

  ASSERT_EQ(empty_stream(9, 0), bzip2_compress({}, 9)) << "builder fault";
  Outcome ok = run(empty_stream(9, 0));
  ASSERT_TRUE(ok.result.has_value()) << ok.result.error().display();
  EXPECT_EQ(ok.writer.calls, (std::vector<std::string>{"flush", "progress 14 0"}));
  EXPECT_TRUE(run(concat({empty_stream(1, 0), empty_stream(9, 0)})).result.has_value());
  EXPECT_TRUE(fails_with(run(empty_stream(9, 1)).result, 32, DecodeError::CrcMismatch));
  Bytes bad = empty_stream(9, 0);
  EXPECT_TRUE(fails_with(run(std::span(bad).first(13)).result, 80, DecodeError::Truncated));
  bad[4] ^= 0x0F;  // a record that is neither magic
  EXPECT_TRUE(fails_with(run(bad).result, 32, DecodeError::InvalidMagic));
}

TEST(SerialCrafted, WriterAndProgressPerBlock) {
  std::vector<Bytes> chunks = {text_bytes(3000, 1), bytes_of("x"), random_bytes(700, 2)};
  const Bytes all = concat({chunks[0], chunks[1], chunks[2]});
  CraftedStream s = craft_stream(9, chunks);
  ASSERT_EQ(bzip2_decompress(s.bytes), all) << "builder fault";
  Outcome r = run(s.bytes);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().display();
  EXPECT_TRUE(r.writer.out == all);
  // A block ending inside byte k has consumed k + 1 bytes.
  std::vector<std::string> expected;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    ASSERT_NE(s.blocks[i].end % 8, 0u) << "pick chunks whose blocks end inside a byte";
    total += chunks[i].size();
    expected.push_back("write " + std::to_string(chunks[i].size()));
    expected.push_back("progress " + std::to_string(s.blocks[i].end / 8 + 1) + " " + std::to_string(total));
  }
  expected.push_back("flush");
  expected.push_back("progress " + std::to_string(s.bytes.size()) + " " + std::to_string(total));
  EXPECT_EQ(r.writer.calls, expected);

  // A refused write ends the decode after the block before it and its progress.
  Outcome failed_write = run(s.bytes, 1);
  ASSERT_FALSE(failed_write.result.has_value());
  EXPECT_EQ(failed_write.result.error().display(), "sink full");
  EXPECT_EQ(failed_write.result.error().tag(), Error::Tag::Io);
  EXPECT_EQ(failed_write.writer.calls, std::vector<std::string>(expected.begin(), expected.begin() + 2));
  // A refused flush: no final progress.
  Outcome failed_flush = run(s.bytes, -1, true);
  ASSERT_FALSE(failed_flush.result.has_value());
  EXPECT_EQ(failed_flush.result.error().display(), "flush refused");
  EXPECT_EQ(failed_flush.writer.calls, std::vector<std::string>(expected.begin(), expected.end() - 2));
}

TEST(SerialCrafted, PaddingBitsAreNotLookedAt) {
  const Bytes first = text_bytes(1000, 3), second = bytes_of("second");
  CraftedStream a = craft_stream(5, {first}, true);
  ASSERT_NE((a.end_magic + 80) % 8, 0u) << "the stream needs padding bits";
  auto input = concat({a.bytes, craft_stream(2, {second}).bytes});
  ASSERT_EQ(bzip2_decompress(input), concat({first, second})) << "builder fault";
  Outcome r = run(input);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().display();
  EXPECT_TRUE(r.writer.out == concat({first, second}));
}

TEST(SerialCrafted, EachStreamHasItsOwnSymbolLimit) {
  // 100001 symbols: too many for level 1, fine for level 2.
  auto data = random_bytes(100001, 11);
  ASSERT_EQ(initial_rle(data).size(), 100001u);
  auto level2 = craft_stream(2, {data});
  Outcome ok = run(concat({level2.bytes, level2.bytes}));
  ASSERT_TRUE(ok.result.has_value()) << ok.result.error().display();
  EXPECT_TRUE(ok.writer.out == concat({data, data}));

  auto level1 = craft_stream(1, {data});
  const BlockLayout& at = level1.blocks[0];
  const std::uint64_t base = 8 * level2.bytes.size();
  // The extra symbol is a literal (failing at once) or ends a run (failing at the end of block).
  const bool ends_in_run = block_from_bytes(data).symbols.end()[-2] <= kRunB;
  Outcome r = run(concat({level2.bytes, level1.bytes}));
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
    Bytes input;
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
      {"header and half a magic", concat({bytes_of("BZh9"), Bytes{0x31, 0x41, 0x59, 0x26}}), 56,
       DecodeError::Truncated},
      {"header and no magic", concat({bytes_of("BZh9"), Bytes(6, 0)}), 32, DecodeError::InvalidMagic},
  };
  for (const auto& c : cases) EXPECT_TRUE(fails_with(run(c.input).result, c.bit, c.kind)) << c.name;
}

TEST(SerialCrafted, WhatFollowsAStream) {
  auto first = craft_stream(9, {bytes_of("first")}).bytes;
  const std::uint64_t next = 8 * first.size();
  auto second = [](std::size_t at, std::uint8_t b) {
    auto s = empty_stream(9, 0);
    s[at] = b;
    return s;
  };
  struct Case {
    const char* name;
    Bytes tail;
    std::uint64_t bit;
    DecodeError kind;
  } cases[] = {
      {"one byte", {0x42}, next, DecodeError::Truncated},
      {"two bytes", {0x42, 0x5A}, next, DecodeError::Truncated},
      {"three bytes", bytes_of("BZh"), next, DecodeError::Truncated},
      {"four zero bytes", {0, 0, 0, 0}, next, DecodeError::InvalidMagic},
      {"second stream's first byte wrong", second(0, 'C'), next, DecodeError::InvalidMagic},
      {"second stream's level wrong", second(3, '0'), next + 24, DecodeError::InvalidLevel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome r = run(concat({first, c.tail}));
    EXPECT_TRUE(fails_with(r.result, c.bit, c.kind));
    EXPECT_TRUE(r.writer.out == bytes_of("first"));
  }
}

TEST(SerialCrafted, EndOfStreamRecordAndBlockFailures) {
  std::vector<Bytes> chunks = {text_bytes(500, 1), text_bytes(600, 2)};
  CraftedStream s = craft_stream(9, chunks, false, 0x10);
  Outcome wrong = run(s.bytes);
  EXPECT_TRUE(fails_with(wrong.result, s.end_magic, DecodeError::CrcMismatch));
  EXPECT_TRUE(wrong.writer.out == concat({chunks[0], chunks[1]})) << "every block was written first";

  CraftedStream cut = craft_stream(9, chunks);
  cut.bytes.resize((cut.end_magic + 48 + 31) / 8);  // less than the 32-bit CRC
  EXPECT_TRUE(fails_with(run(cut.bytes).result, cut.end_magic + 48, DecodeError::Truncated));

  // A block's own failure passes through after the blocks before it.
  BitWriter out;
  write_stream_header(out, 9);
  BlockFields good = block_from_bytes(chunks[0]), bad = block_from_bytes(chunks[1]);
  bad.stored_crc ^= 1;
  write_block(out, good);
  BlockLayout at = write_block(out, bad);
  write_stream_end(out, combine_crc(combine_crc(0, good.stored_crc), bad.stored_crc));
  Outcome r = run(out.bytes());
  EXPECT_TRUE(fails_with(r.result, at.start, DecodeError::CrcMismatch));
  EXPECT_TRUE(r.writer.out == chunks[0]);
  EXPECT_EQ(r.writer.calls.size(), 2u) << "one write and one progress call, no flush";
}
