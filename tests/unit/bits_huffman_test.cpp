// The bit cursor, the Huffman tables and the block CRC at their edges: the
// end of the input, incomplete and over-subscribed codes, long codes.
#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/decoder/huffman.hpp"

using namespace morvane;
using namespace morvane::decoder;

namespace {

// Bits written most significant first, zero-padded to whole bytes.
struct BitString {
  std::vector<std::uint8_t> bytes;
  std::uint64_t len = 0;
  void put(std::uint32_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) {
      if (len % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80 >> (len % 8));
      ++len;
    }
  }
};

void expect_decode_error(const Error& error, std::uint64_t bit, DecodeError kind) {
  EXPECT_EQ(error, Error::decode(bit, kind)) << error.display();
}

// Canonical codes by the same rule the tables use: shorter codes first, and
// within one length by symbol value.
std::vector<std::uint32_t> canonical_codes(const std::vector<std::uint8_t>& lengths) {
  std::vector<std::uint32_t> codes(lengths.size());
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= 20; ++len) {
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == len) codes[s] = code++;
    }
    code <<= 1;
  }
  return codes;
}

}  // namespace

TEST(Bits, PeekAndReadAtTheEnd) {
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
}

TEST(Bits, MagicShortage) {
  const std::vector<std::uint8_t> data{0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x17};
  Bits whole(data, 0);
  EXPECT_EQ(whole.magic().value(), 0x314159265359u);
  EXPECT_EQ(whole.pos(), 48u);
  Bits thirty(data, 26);  // 30 bits left: the first half reads, the second fails after it
  expect_decode_error(thirty.magic().error(), 50, DecodeError::Truncated);
  Bits twenty(data, 36);  // fewer than 24: fails at the magic's first bit, cursor unchanged
  expect_decode_error(twenty.magic().error(), 36, DecodeError::Truncated);
  EXPECT_EQ(twenty.pos(), 36u);
}

TEST(Bits, TailReadsEqualReadsFromLongerInput) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> data(24);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> longer(data);
  longer.insert(longer.end(), 16, std::uint8_t{0xFF});
  for (std::uint64_t pos = 0; pos < data.size() * 8; ++pos) {
    for (std::uint8_t n = 0; n <= 32 && pos + n <= data.size() * 8; ++n) {
      Bits tail(data, pos);
      Bits fast(longer, pos);
      ASSERT_EQ(tail.read(n).value(), fast.read(n).value()) << "pos " << pos << " n " << int(n);
      ASSERT_EQ(tail.pos(), pos + n);
    }
  }
}

TEST(Huffman, BuildRefusesBadLengths) {
  const std::uint64_t at = 77;
  expect_decode_error(Huffman::build({}, at).error(), at, DecodeError::InvalidHuffman);
  const std::vector<std::vector<std::uint8_t>> bad{{1, 1, 1}, {2, 0, 2}, {21, 1, 1}, {1, 2, 3, 3, 3}};
  for (const auto& lengths : bad) expect_decode_error(Huffman::build(lengths, at).error(), at, DecodeError::InvalidHuffman);
  EXPECT_TRUE(Huffman::build(std::vector<std::uint8_t>{20, 20, 1}, at).has_value());  // incomplete is fine
}

TEST(Huffman, TwoSymbolsOfLengthOne) {
  const std::vector<std::uint8_t> lengths{1, 1};
  auto table = Huffman::build(lengths, 0).value();
  BitString in;
  in.put(0b0110, 4);
  Bits bits(in.bytes, 0);
  EXPECT_EQ(table.decode(bits).value(), 0);
  EXPECT_EQ(table.decode(bits).value(), 1);
  EXPECT_EQ(table.decode(bits).value(), 1);
  EXPECT_EQ(table.decode(bits).value(), 0);
  EXPECT_EQ(bits.pos(), 4u);
}

TEST(Huffman, UnusedPatternsOfIncompleteCodes) {
  // One symbol of length 1: the pattern 1 is no code.
  auto single = Huffman::build(std::vector<std::uint8_t>{1}, 0).value();
  for (std::size_t extra : {0, 4}) {  // near the end and with plenty of input after it
    BitString in;
    in.put(0b01, 2);
    in.bytes.insert(in.bytes.end(), extra, std::uint8_t{0});
    Bits bits(in.bytes, 0);
    EXPECT_EQ(single.decode(bits).value(), 0);
    expect_decode_error(single.decode(bits).error(), 2, DecodeError::InvalidHuffman);
  }
  // Three codes of length 2 (00, 01, 10): 11 fails after both bits.
  auto three = Huffman::build(std::vector<std::uint8_t>{2, 2, 2}, 0).value();
  const std::vector<std::uint8_t> ones{0xFF, 0xFF, 0xFF};
  Bits bits(ones, 5);
  expect_decode_error(three.decode(bits).error(), 7, DecodeError::InvalidHuffman);
  Bits late(ones, 22);  // the same with only those two bits left
  expect_decode_error(three.decode(late).error(), 24, DecodeError::InvalidHuffman);
  Bits last(ones, 23);
  expect_decode_error(three.decode(last).error(), 23, DecodeError::Truncated);
}

TEST(Huffman, RunningOutOfInput) {
  // 0 = symbol 0, 10 = 1, 11 = 2.
  auto table = Huffman::build(std::vector<std::uint8_t>{1, 2, 2}, 0).value();
  const std::vector<std::uint8_t> data{0x01};
  Bits bits(data, 7);  // the last bit is 1: a code that needs one bit more
  expect_decode_error(table.decode(bits).error(), 8, DecodeError::Truncated);
  auto wide = Huffman::build(std::vector<std::uint8_t>{3, 3, 3, 3, 3, 3, 3, 3}, 0).value();
  Bits two_left(data, 6);  // fewer bits than the shortest code
  expect_decode_error(wide.decode(two_left).error(), 6, DecodeError::Truncated);
}

TEST(Huffman, LongAndShortCodesAnywhereInTheInput) {
  // A complete code with lengths 1..19 and two of 20 bits, plus a spread alphabet.
  // Symbol order differs from length order: symbols 0 and 1 have 20 bits, symbol 20 has 1.
  std::vector<std::uint8_t> lengths{20};
  for (std::uint8_t len = 20; len >= 1; --len) lengths.push_back(len);
  const auto codes = canonical_codes(lengths);
  auto table = Huffman::build(lengths, 0).value();
  EXPECT_EQ(table.min_len(), 1);
  EXPECT_EQ(table.max_len(), 20);

  std::mt19937 rng(3);
  std::vector<std::uint16_t> symbols;
  BitString in;
  in.put(0b101, 3);  // an unaligned start
  for (std::size_t i = 0; i < 400; ++i) {
    const auto s = static_cast<std::uint16_t>(i < lengths.size() ? i : rng() % lengths.size());
    symbols.push_back(s);
    in.put(codes[s], lengths[s]);
  }
  // Exactly the bits written (the last codes take the bit-by-bit walk), then with more after them.
  for (std::size_t pad : {0, 16}) {
    std::vector<std::uint8_t> bytes(in.bytes);
    bytes.insert(bytes.end(), pad, std::uint8_t{0});
    Bits bits(bytes, 3);
    for (std::size_t i = 0; i < symbols.size(); ++i) ASSERT_EQ(table.decode(bits).value(), symbols[i]) << i;
    EXPECT_EQ(bits.pos(), in.len);
  }
  // lookup() on a whole window agrees with decode().
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const std::uint64_t window = std::uint64_t{codes[s]} << (64 - lengths[s]);
    EXPECT_EQ(table.lookup(window), s | std::uint32_t{lengths[s]} << kEntryLengthShift);
  }
}

TEST(Crc, CheckValueAndRotation) {
  constexpr std::string_view digits = "123456789";
  EXPECT_EQ(crc32_bzip2({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2({}), 0u);
  EXPECT_EQ(combine_stream_crc(0x80000001u, 0x10u), 0x00000013u);

  // Every length and alignment against the plain bitwise definition.
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(300);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t start = 0; start < 9; ++start) {
    for (std::size_t len = 0; start + len <= data.size(); len += 7) {
      std::uint32_t reg = 0xFFFFFFFFu;
      for (std::size_t i = start; i < start + len; ++i) {
        reg ^= std::uint32_t{data[i]} << 24;
        for (int k = 0; k < 8; ++k) reg = (reg << 1) ^ ((reg & 0x80000000u) ? 0x04C11DB7u : 0);
      }
      ASSERT_EQ(crc32_bzip2(std::span(data).subspan(start, len)), ~reg) << start << " " << len;
    }
  }
}
