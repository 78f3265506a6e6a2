// The bit cursor, the Huffman tables and the block CRC at their edges: the
// end of the input, incomplete and over-subscribed codes, long codes.
#include <gtest/gtest.h>

#include <string_view>

#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/decoder/huffman.hpp"
#include "support/bit_writer.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::decoder;

namespace {

using Lengths = std::vector<std::uint8_t>;

void expect_decode_error(const Error& error, std::uint64_t bit, DecodeError kind) {
  EXPECT_EQ(error, Error::decode(bit, kind)) << error.display();
}

// Canonical codes by the rule the tables use: shorter codes first, then by symbol.
std::vector<std::uint32_t> canonical_codes(const Lengths& lengths) {
  std::vector<std::uint32_t> codes(lengths.size());
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= 20; ++len, code <<= 1)
    for (std::size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] == len) codes[s] = code++;
  return codes;
}

}  // namespace

TEST(Bits, ReadsAtTheEnd) {
  const std::vector<std::uint8_t> data{0xA5, 0x3C};
  Bits bits(data, 1);  // 15 bits left
  EXPECT_EQ(bits.peek(15).value(), 0x253Cu);
  EXPECT_EQ(bits.pos(), 1u);
  bits.set_pos(2);  // 14 left
  expect_decode_error(bits.peek(15).error(), 2, DecodeError::Truncated);
  expect_decode_error(bits.read(15).error(), 2, DecodeError::Truncated);
  EXPECT_EQ(bits.pos(), 2u);
  EXPECT_EQ(bits.read(14).value(), 0x253Cu);
  EXPECT_EQ(bits.remaining(), 0u);
  EXPECT_EQ(bits.read(0).value(), 0u);
  bits.set_pos(15);
  EXPECT_EQ(bits.bit().value(), false);
  expect_decode_error(bits.bit().error(), 16, DecodeError::Truncated);
  bits.set_pos(1000);  // beyond the input: nothing remains, nothing wraps
  EXPECT_EQ(bits.remaining(), 0u);
  expect_decode_error(bits.bit().error(), 1000, DecodeError::Truncated);

  const std::vector<std::uint8_t> magic{0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x17};
  Bits whole(magic, 0);
  EXPECT_EQ(whole.magic().value(), 0x314159265359u);
  EXPECT_EQ(whole.pos(), 48u);
  Bits thirty(magic, 26);  // 30 bits left: the first half reads, the second fails after it
  expect_decode_error(thirty.magic().error(), 50, DecodeError::Truncated);
  Bits twenty(magic, 36);  // fewer than 24: fails at the magic's first bit, cursor unchanged
  expect_decode_error(twenty.magic().error(), 36, DecodeError::Truncated);
  EXPECT_EQ(twenty.pos(), 36u);
}

TEST(Bits, TailReadsEqualReadsFromLongerInput) {
  const auto data = test::random_bytes(24, 7);
  auto longer = data;
  longer.insert(longer.end(), 16, std::uint8_t{0xFF});
  for (std::uint64_t pos = 0; pos < data.size() * 8; ++pos) {
    for (std::uint8_t n = 0; n <= 32 && pos + n <= data.size() * 8; ++n) {
      Bits tail(data, pos), fast(longer, pos);
      ASSERT_EQ(tail.read(n).value(), fast.read(n).value()) << "pos " << pos << " n " << int(n);
      ASSERT_EQ(tail.pos(), pos + n);
    }
  }
}

TEST(Huffman, BuildRefusesBadLengths) {
  const std::uint64_t at = 77;
  for (const Lengths& bad : {Lengths{}, Lengths{1, 1, 1}, Lengths{2, 0, 2}, Lengths{21, 1, 1}, Lengths{1, 2, 3, 3, 3}})
    expect_decode_error(Huffman::build(bad, at).error(), at, DecodeError::InvalidHuffman);
  EXPECT_TRUE(Huffman::build(Lengths{20, 20, 1}, at).has_value());  // incomplete is fine
}

TEST(Huffman, UnusedPatternsAndRunningOutOfInput) {
  const std::vector<std::uint8_t> ones{0xFF, 0xFF, 0xFF}, one{0x01};
  // One symbol of length 1: the pattern 1 is no code, near the end or with input after it.
  auto single = Huffman::build(Lengths{1}, 0).value();
  for (const auto& bytes : {std::vector<std::uint8_t>{0x40}, std::vector<std::uint8_t>{0x40, 0, 0, 0, 0}}) {
    Bits bits(bytes, 0);
    EXPECT_EQ(single.decode(bits).value(), 0);
    expect_decode_error(single.decode(bits).error(), 2, DecodeError::InvalidHuffman);
  }
  // Codes 00, 01, 10: 11 fails after both bits; with one bit left it is cut short.
  auto three = Huffman::build(Lengths{2, 2, 2}, 0).value();
  const struct { std::uint64_t from, bit; DecodeError kind; } cases[] = {
      {5, 7, DecodeError::InvalidHuffman}, {22, 24, DecodeError::InvalidHuffman}, {23, 23, DecodeError::Truncated}};
  for (const auto& c : cases) {
    Bits bits(ones, c.from);
    expect_decode_error(three.decode(bits).error(), c.bit, c.kind);
  }
  // 0, 10, 11: a last bit 1 needs one bit more; fewer bits than the shortest code fail at once.
  Bits last(one, 7);
  expect_decode_error(Huffman::build(Lengths{1, 2, 2}, 0).value().decode(last).error(), 8, DecodeError::Truncated);
  Bits two_left(one, 6);
  expect_decode_error(Huffman::build(Lengths(8, 3), 0).value().decode(two_left).error(), 6, DecodeError::Truncated);
}

TEST(Huffman, LongAndShortCodesAnywhereInTheInput) {
  // A complete code of lengths 20, 20, 19, ..., 1: symbol order differs from length order.
  Lengths lengths{20};
  for (std::uint8_t len = 20; len >= 1; --len) lengths.push_back(len);
  const auto codes = canonical_codes(lengths);
  auto table = Huffman::build(lengths, 0).value();
  EXPECT_EQ(table.min_len(), 1);
  EXPECT_EQ(table.max_len(), 20);

  const auto noise = test::random_bytes(400, 3);
  std::vector<std::uint16_t> symbols;
  test::BitWriter in;
  in.put(0b101, 3);  // an unaligned start
  for (std::size_t i = 0; i < 400; ++i) {
    symbols.push_back(static_cast<std::uint16_t>(i < lengths.size() ? i : noise[i] % lengths.size()));
    in.put(codes[symbols.back()], lengths[symbols.back()]);
  }
  // Exactly the bits written (the last codes take the bit-by-bit walk), then with more after them.
  for (std::size_t pad : {0, 16}) {
    std::vector<std::uint8_t> bytes(in.bytes());
    bytes.insert(bytes.end(), pad, std::uint8_t{0});
    Bits bits(bytes, 3);
    for (std::size_t i = 0; i < symbols.size(); ++i) ASSERT_EQ(table.decode(bits).value(), symbols[i]) << i;
    EXPECT_EQ(bits.pos(), in.pos());
  }
  // lookup() on a whole window agrees with decode().
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const std::uint64_t window = std::uint64_t{codes[s]} << (64 - lengths[s]);
    EXPECT_EQ(table.lookup(window), s | std::uint32_t{lengths[s]} << kEntryLengthShift);
  }
}

TEST(Crc, CheckValueAndEveryAlignment) {
  constexpr std::string_view digits = "123456789";
  EXPECT_EQ(crc32_bzip2({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2({}), 0u);
  EXPECT_EQ(combine_stream_crc(0x80000001u, 0x10u), 0x00000013u);
  // Against the tests' own bit-by-bit CRC.
  // Against the tests' own bit-by-bit CRC: short and folded lengths, every
  // alignment, and long stretches of random and of equal bytes.
  const auto data = test::random_bytes(300, 11);
  for (std::size_t start = 0; start < 17; ++start)
    for (std::size_t len = 0; start + len <= data.size(); len += 7) {
      const auto part = std::span(data).subspan(start, len);
      ASSERT_EQ(crc32_bzip2(part), test::crc32(part)) << start << " " << len;
    }
  const auto noise = test::random_bytes(1 << 20, 12);
  const std::vector<std::uint8_t> run((1 << 20) + 13, 0xFF);
  for (const auto& big : {std::span<const std::uint8_t>(noise), std::span<const std::uint8_t>(run)}) {
    EXPECT_EQ(crc32_bzip2(big), test::crc32(big));
    EXPECT_EQ(crc32_bzip2(big.subspan(3)), test::crc32(big.subspan(3)));
  }
}
