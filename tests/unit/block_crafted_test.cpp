// Hand-built blocks: every check of the block decoder, with the exact kind and
// bit position it reports. Valid builder blocks are first proven by the
// reference decoder, so a failure below is the library's.
#include <gtest/gtest.h>

#include <functional>

#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/checks.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

struct Crafted {
  std::vector<std::uint8_t> bytes;
  BlockLayout at;
};

// The block behind `lead_bits` lead-in bits, so it starts inside a byte; with a
// trailer an end-of-stream record follows, else the input ends with the block.
Crafted craft(const BlockFields& f, bool trailer = true, unsigned lead_bits = 5) {
  BitWriter out;
  out.put(0b10110, lead_bits);
  BlockLayout at = write_block(out, f);
  if (trailer) write_stream_end(out, f.stored_crc);
  return {out.take(), at};
}

Result<decoder::DecodedBlock> decode(const Crafted& c, std::uint8_t level = 9,
                                     std::optional<std::uint32_t> expected_crc = std::nullopt) {
  decoder::Decoder d;
  decoder::Bits bits(c.bytes, c.at.start + 48);
  auto block = d.block(bits, level, expected_crc);
  if (block) { EXPECT_EQ(bits.pos(), c.at.end) << "cursor after the end-of-block code"; }
  return block;
}

// 2000 bytes of text: several selectors, both tables used.
const std::vector<std::uint8_t>& text_data() {
  static const auto data = text_bytes(2000, 5);
  return data;
}
BlockFields text_block() { return block_from_bytes(text_data()); }

// Over "a" and "b": symbols RUNA, RUNB, position 1 (symbol 2), end of block (3).
BlockFields two_byte_block() { return block_from_bytes(bytes_of("ab")); }

// n bytes without a run of four equal bytes, so n symbols.
std::vector<std::uint8_t> runless_bytes(std::size_t n) {
  auto data = random_bytes(n, 11);
  for (std::size_t i = 3; i < n; ++i)
    if (data[i] == data[i - 1] && data[i] == data[i - 2] && data[i] == data[i - 3]) data[i] ^= 1;
  return data;
}

std::optional<std::vector<std::uint8_t>> reference_decode(const BlockFields& f) {
  BitWriter out;
  write_stream_header(out, 9);
  write_block(out, f);
  write_stream_end(out, combine_crc(0, f.stored_crc));
  return bzip2_decompress(out.bytes());
}

void set_symbols(BlockFields& f, std::vector<std::uint16_t> symbols) {
  f.symbols = std::move(symbols);
  fit_selectors(f);
  fit_lengths(f);
}

}  // namespace

TEST(BlockCraftedValid, BuilderBlocksDecodeLikeTheReference) {
  std::vector<std::uint8_t> skewed(60000, 'x');
  auto noise = random_bytes(skewed.size(), 9);
  for (std::size_t i = 0; i < skewed.size(); i += 7) skewed[i] = noise[i];
  struct Case { const char* name; std::vector<std::uint8_t> data; unsigned tables; bool long_codes = false; };
  const Case cases[] = {
      {"one byte", {'a'}, 2},
      {"three bytes", bytes_of("abc"), 3},
      {"every byte value", random_bytes(3000, 4), 2},
      {"text, six tables", text_bytes(120000, 3), 6},
      {"random, four tables", random_bytes(50000, 2), 4},
      {"skewed, five tables", skewed, 5},
      {"20-bit codes", text_bytes(5000, 8), 2, true},
      {"long runs", std::vector<std::uint8_t>(1000, 7), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockFields f = block_from_bytes(c.data, c.tables);
    // Symbol i < 10 gets i + 1 bits, the rest 20: incomplete, long codes walked bit by bit.
    if (c.long_codes)
      for (auto& table : f.lengths)
        for (std::size_t s = 0; s < table.size(); ++s) table[s] = static_cast<std::uint8_t>(s < 10 ? s + 1 : 20);
    ASSERT_EQ(reference_decode(f), c.data) << "builder fault";
    auto block = decode(craft(f));
    ASSERT_TRUE(block.has_value()) << block.error().display();
    EXPECT_TRUE(block->data == c.data);
    EXPECT_EQ(block->crc, f.stored_crc);
    EXPECT_EQ(block->symbols, initial_rle(c.data).size());
  }
}

TEST(BlockCraftedValid, FinalRunLengthStage) {
  // After four equal bytes comes a count; a fifth equal byte after a count starts a new run.
  struct Case { std::vector<std::uint8_t> rle, output; } cases[] = {
      {{'a', 'a', 'a', 'a', 0}, bytes_of("aaaa")},
      {{'a', 'a', 'a', 'a', 255}, std::vector<std::uint8_t>(259, 'a')},
      {{2, 2, 2, 2, 2, 2, 2, 2, 2, 1}, std::vector<std::uint8_t>(11, 2)},
      {{'a', 'a', 'a', 'b', 'b', 'b', 'b', 0, 'b'}, bytes_of("aaabbbbb")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.rle));
    BlockFields f = block_from_rle(c.rle);
    ASSERT_EQ(reference_decode(f), c.output) << "builder fault";
    auto block = decode(craft(f));
    ASSERT_TRUE(block.has_value()) << block.error().display();
    EXPECT_EQ(block->data, c.output);
    EXPECT_EQ(block->symbols, c.rle.size());
  }
}

TEST(BlockCraftedHeader, BlockEndingWithoutItsRepeatCount) {
  // Four equal bytes at the very end, their count missing: a whole-block
  // failure, as every other decoder refuses it; with the count it decodes.
  for (const auto& rle : {std::vector<std::uint8_t>{'a', 'a', 'a', 'a'}, std::vector<std::uint8_t>{'x', 'b', 'b', 'b', 'b'},
                          std::vector<std::uint8_t>{'a', 'a', 'a', 'a', 3, 'c', 'c', 'c', 'c'}}) {
    SCOPED_TRACE(testing::PrintToString(rle));
    const Crafted c = craft(block_from_rle(rle));
    EXPECT_TRUE(fails_with(decode(c), c.at.start, DecodeError::InvalidBlock));
    auto whole = rle;
    whole.push_back(0);
    EXPECT_TRUE(decode(craft(block_from_rle(whole))).has_value());
  }
}

TEST(BlockCraftedValid, LargestLevel1Block) {
  // 100000 symbols, all groups of four equal bytes and the count 255.
  std::vector<std::uint8_t> data(kOutputPerLevel, 'a');
  ASSERT_EQ(initial_rle(data).size(), kSymbolsPerLevel);
  auto block = decode(craft(block_from_bytes(data)), 1);
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_EQ(block->data.size(), 5180000u);
  EXPECT_TRUE(block->data == data);
}

TEST(BlockCraftedValid, DecoderIsReusableAfterAFailure) {
  decoder::Decoder d;
  BlockFields bad = text_block();
  bad.stored_crc ^= 4;
  Crafted ok = craft(text_block()), broken = craft(bad);
  for (const Crafted* c : {&ok, &broken, &ok}) {
    decoder::Bits bits(c->bytes, c->at.start + 48);
    auto block = d.block(bits, 9, std::nullopt);
    ASSERT_EQ(block.has_value(), c == &ok);
    if (block) { EXPECT_TRUE(block->data == text_data()); }
  }
}

TEST(BlockCraftedHeader, ExpectedCrcAndLevelAreCheckedBeforeAnythingElse) {
  BlockFields f = text_block();
  Crafted valid = craft(f);
  EXPECT_TRUE(decode(valid, 9, f.stored_crc).has_value());
  EXPECT_TRUE(fails_with(decode(valid, 9, f.stored_crc + 1), valid.at.start, DecodeError::InvalidBlock));
  for (std::uint8_t level : {0, 10})  // never trusted outside 1..9
    EXPECT_TRUE(fails_with(decode(valid, level, f.stored_crc), valid.at.start, DecodeError::InvalidLevel));

  // Nothing after the stored CRC is read first: neither a broken header ...
  BlockFields broken = f;
  broken.randomized = true;
  broken.tables = 7;
  Crafted bad = craft(broken);
  EXPECT_TRUE(fails_with(decode(bad, 9, ~f.stored_crc), bad.at.start, DecodeError::InvalidBlock));
  // ... nor the end of the input right after the CRC.
  Crafted cut = craft(f, false, 8);
  ASSERT_EQ(cut.at.randomized % 8, 0u);
  cut.bytes.resize(cut.at.randomized / 8);
  EXPECT_TRUE(fails_with(decode(cut, 9, f.stored_crc + 1), 8, DecodeError::InvalidBlock));
  EXPECT_TRUE(fails_with(decode(cut, 9, f.stored_crc), cut.at.randomized, DecodeError::Truncated));
  EXPECT_TRUE(fails_with(decode(cut), cut.at.randomized, DecodeError::Truncated));
}

TEST(BlockCraftedHeader, WholeBlockChecksReportTheBlockStart) {
  BlockFields f = text_block();
  const auto n = static_cast<std::uint32_t>(initial_rle(text_data()).size());
  struct Case { const char* name; std::function<void(BlockFields&)> damage; DecodeError kind; } cases[] = {
      {"randomised flag", [](BlockFields& b) { b.randomized = true; }, DecodeError::RandomizedBlock},
      {"randomised, then garbage", [](BlockFields& b) { b.randomized = true, b.tables = 0, b.used.clear(); },
       DecodeError::RandomizedBlock},
      {"no group in use", [](BlockFields& b) { b.group_map = 0; }, DecodeError::InvalidBlock},
      {"a group without bytes", [](BlockFields& b) { b.used.clear(), b.group_map = 0x0100; },
       DecodeError::InvalidBlock},
      {"origin pointer = symbol count", [n](BlockFields& b) { b.origin = n; }, DecodeError::InvalidBlock},
      {"origin pointer = 2^24 - 1", [](BlockFields& b) { b.origin = 0xFFFFFF; }, DecodeError::InvalidBlock},
      {"end of block only, origin 0", [](BlockFields& b) { b.origin = 0, set_symbols(b, {b.end_of_block()}); },
       DecodeError::InvalidBlock},
      {"stored CRC wrong", [](BlockFields& b) { b.stored_crc ^= 1; }, DecodeError::CrcMismatch},
      {"origin pointer misplaced", [n](BlockFields& b) { b.origin = (b.origin + 1) % n; },
       DecodeError::CrcMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockFields broken = f;
    c.damage(broken);
    Crafted crafted = craft(broken);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.start, c.kind));
  }
  // The randomised flag needs nothing after it.
  f.randomized = true;
  Crafted cut = craft(f, false);
  cut.bytes.resize(cut.at.origin / 8 + 1);
  EXPECT_TRUE(fails_with(decode(cut), cut.at.start, DecodeError::RandomizedBlock));
}

TEST(BlockCraftedTables, TableAndSelectorCounts) {
  for (unsigned tables : {0u, 1u, 7u}) {
    SCOPED_TRACE(tables);
    BlockFields f = text_block();
    f.tables = tables;
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.tables + 3, DecodeError::InvalidHuffman));
  }
  BlockFields none = text_block();
  none.selector_count = 0;
  Crafted crafted = craft(none);
  EXPECT_TRUE(fails_with(decode(crafted), crafted.at.selector_count + 15, DecodeError::InvalidBlock));

  // The largest count the field holds; the selectors beyond the symbols are read and ignored.
  BlockFields most = text_block();
  while (most.selectors.size() < 32767) most.selectors.push_back(most.selectors.size() % 2 ? 0 : 1);
  ASSERT_EQ(reference_decode(most), text_data()) << "builder fault";
  auto block = decode(craft(most));
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_TRUE(block->data == text_data());
}

TEST(BlockCraftedTables, SelectorCodeReachingTheTableCount) {
  for (unsigned tables : {2u, 6u}) {
    SCOPED_TRACE(tables);
    BlockFields f = block_from_bytes(text_data(), tables);
    f.selectors.clear();
    f.selector_codes = {tables - 1, 0, tables};
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.selector_starts[2] + tables, DecodeError::InvalidBlock));
  }
}

TEST(BlockCraftedTables, CodeLengthOutside1To20) {
  // Lengths are checked before each symbol and after each step, at the cursor.
  // Start lengths of tables 0 and 1, the lengths of symbols 0 and 1, and the
  // bits after the table's start where it fails.
  struct Case { const char* name; std::size_t table; std::vector<std::uint8_t> start; std::uint8_t first, second;
                std::uint64_t after; } cases[] = {
      {"starts at 0", 0, {0, 1}, 1, 1, 5},
      {"starts at 21", 1, {1, 21}, 1, 1, 5},
      {"starts at 31", 1, {1, 31}, 1, 1, 5},
      {"steps down to 0", 0, {1, 1}, 1, 0, 5 + 1 + 2},
      {"steps up to 21", 1, {1, 20}, 20, 21, 5 + 1 + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockFields f = text_block();
    f.start_lengths = c.start;
    f.lengths[c.table][0] = c.first;
    f.lengths[c.table][1] = c.second;
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.table_starts[c.table] + c.after, DecodeError::InvalidHuffman));
  }
}

TEST(BlockCraftedTables, OverSubscribedAndIncompleteTables) {
  for (std::size_t table : {0u, 1u}) {  // over-subscribed: fails after its lengths
    BlockFields f = two_byte_block();
    f.lengths[table] = {1, 1, 2, 2};
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.table_ends[table], DecodeError::InvalidHuffman)) << table;
  }
  // Codes 00, 01, 10 and 110; 111 belongs to no symbol.
  for (bool more_input : {true, false}) {
    for (bool after_a_symbol : {false, true}) {
      SCOPED_TRACE(testing::Message() << "more input " << more_input << ", after a symbol " << after_a_symbol);
      BlockFields f = two_byte_block();
      f.lengths = {{2, 2, 2, 3}, {2, 2, 2, 3}};
      f.symbols.clear();
      if (after_a_symbol) f.symbols = {2};
      f.tail = {true, true, true};
      Crafted crafted = craft(f, more_input);
      std::uint64_t code_start = after_a_symbol ? crafted.at.symbol_ends[0] : crafted.at.table_ends[1];
      EXPECT_TRUE(fails_with(decode(crafted), code_start + 3, DecodeError::InvalidHuffman));
    }
  }
}

TEST(BlockCraftedSymbols, SelectorsUsedUpBeforeTheEnd) {
  // n distinct bytes give n symbols and the end of block.
  std::vector<std::uint8_t> distinct(50);
  for (std::size_t i = 0; i < distinct.size(); ++i) distinct[i] = static_cast<std::uint8_t>(200 - 3 * i);
  BlockFields fits = block_from_bytes(std::span(distinct).first(49));
  ASSERT_EQ(fits.selectors.size(), 1u);
  EXPECT_TRUE(decode(craft(fits)).has_value());

  BlockFields over = block_from_bytes(distinct);
  ASSERT_EQ(over.symbols.size(), 51u);
  over.selectors = {0};
  Crafted crafted = craft(over);
  EXPECT_TRUE(fails_with(decode(crafted), crafted.at.symbol_ends[49], DecodeError::InvalidBlock));
}

TEST(BlockCraftedSymbols, SymbolLimitOfLevel1) {
  auto data = runless_bytes(kSymbolsPerLevel);
  BlockFields exact = block_from_bytes(data);
  auto block = decode(craft(exact), 1);
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_EQ(block->symbols, kSymbolsPerLevel);
  EXPECT_TRUE(block->data == data);

  // One literal more fails at that literal; one more from a run at the end of block.
  BlockFields literal = exact;
  literal.symbols.insert(literal.symbols.end() - 1, 2);
  fit_selectors(literal);
  Crafted with_literal = craft(literal);
  EXPECT_TRUE(fails_with(decode(with_literal, 1), with_literal.at.symbol_ends.end()[-2], DecodeError::InvalidBlock));
  // At level 2 the same block gets through the symbol stage (and its CRC no longer fits).
  EXPECT_TRUE(fails_with(decode(with_literal, 2), with_literal.at.start, DecodeError::CrcMismatch));

  BlockFields run = exact;
  ASSERT_GT(run.symbols.end()[-2], kRunB) << "the last symbol before the end is a literal";
  run.symbols.insert(run.symbols.end() - 1, kRunA);
  fit_selectors(run);
  Crafted with_run = craft(run);
  EXPECT_TRUE(fails_with(decode(with_run, 1), with_run.at.symbol_ends.back(), DecodeError::BlockOverflow));
}

TEST(BlockCraftedSymbols, RunsAgainstTheLimit) {
  const std::uint16_t b_literal = 2;  // "b": position 1 of the list "a", "b"
  // fails_after: the symbol whose end the error reports; SIZE_MAX: decodes.
  struct Case { const char* name; std::vector<std::uint16_t> prefix; std::uint64_t run; std::size_t fails_after; };
  const Case cases[] = {
      {"run of exactly the limit", {}, 100000, SIZE_MAX},
      {"literal and a run to the limit", {b_literal}, 99999, SIZE_MAX},
      {"run one above the limit fails at its last digit", {}, 100001, 15},
      {"literal and a run of the limit fail at the end", {b_literal}, 100000, 17},
  };
  ASSERT_EQ(run_symbols(100001).size(), 16u);
  ASSERT_EQ(run_symbols(100000).size(), 16u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockFields f = two_byte_block();
    std::vector<std::uint16_t> symbols = c.prefix;
    for (auto digit : run_symbols(c.run)) symbols.push_back(digit);
    symbols.push_back(f.end_of_block());
    set_symbols(f, symbols);
    std::vector<std::uint8_t> tt(c.prefix.size(), 'b');
    tt.resize(tt.size() + c.run, tt.empty() ? 'a' : 'b');
    f.stored_crc = crc32(undo_initial_rle(tt));  // tt of one byte value: the origin does not matter
    f.origin = 0;
    Crafted crafted = craft(f);
    auto block = decode(crafted, 1);
    if (c.fails_after == SIZE_MAX) {
      ASSERT_TRUE(block.has_value()) << block.error().display();
      EXPECT_EQ(block->symbols, kSymbolsPerLevel);
      EXPECT_TRUE(block->data == undo_initial_rle(tt));
    } else {
      EXPECT_TRUE(fails_with(block, crafted.at.symbol_ends[c.fails_after], DecodeError::BlockOverflow));
    }
  }
}

TEST(BlockCraftedSymbols, RunSymbolsInARowPassTheLimitFirst) {
  // A run grows by at least 2^k with its k-th digit, so the limit is passed
  // long before a 32nd run symbol could come.
  for (std::uint16_t digit : {kRunA, kRunB}) {
    SCOPED_TRACE(digit);
    BlockFields f = two_byte_block();
    std::vector<std::uint16_t> symbols(32, digit);
    symbols.push_back(f.end_of_block());
    set_symbols(f, symbols);
    Crafted crafted = craft(f);
    // Level 1: 2^17 - 1 and 2 x (2^16 - 1) pass 100000; level 9: 2^20 - 1 and 2 x (2^19 - 1) pass 900000.
    const bool a = digit == kRunA;
    EXPECT_TRUE(fails_with(decode(crafted, 1), crafted.at.symbol_ends[a ? 16 : 15], DecodeError::BlockOverflow));
    EXPECT_TRUE(fails_with(decode(crafted, 9), crafted.at.symbol_ends[a ? 19 : 18], DecodeError::BlockOverflow));
  }
}

TEST(BlockCraftedCandidate, LimitsAndPositionsOfItsOwnFailures) {
  BlockFields f = text_block();
  Crafted c = craft(f);
  const std::uint64_t len_bits = 8 * c.bytes.size();
  auto found = decoder::decode_candidate(c.bytes, c.at.start, f.stored_crc);
  ASSERT_TRUE(found.has_value()) << found.error().display();
  EXPECT_TRUE(found->data == text_data());
  EXPECT_EQ(found->end_bit, c.at.end);
  EXPECT_EQ(found->symbols, initial_rle(text_data()).size());

  const struct { std::uint64_t from, bit; DecodeError kind; } failures[] = {
      {c.at.end, c.at.end, DecodeError::InvalidMagic},  // the end-of-stream magic
      {1, 1, DecodeError::InvalidMagic},
      {len_bits, len_bits, DecodeError::Truncated},
      {len_bits + 1, len_bits + 1, DecodeError::Truncated},
      {len_bits - 30, len_bits - 30 + 24, DecodeError::Truncated},
      {len_bits - 20, len_bits - 20, DecodeError::Truncated},
  };
  EXPECT_TRUE(fails_with(decoder::decode_candidate(c.bytes, c.at.start, ~f.stored_crc), c.at.start,
                         DecodeError::InvalidBlock));
  for (const auto& x : failures)
    EXPECT_TRUE(fails_with(decoder::decode_candidate(c.bytes, x.from, 0), x.bit, x.kind)) << x.from;

  // A block too big for level 1 decodes under the level-9 limits; its symbol count tells the caller.
  auto data = runless_bytes(kSymbolsPerLevel + 1);
  BlockFields big = block_from_bytes(data);
  Crafted crafted = craft(big);
  EXPECT_FALSE(decode(crafted, 1).has_value());
  auto candidate = decoder::decode_candidate(crafted.bytes, crafted.at.start, big.stored_crc);
  ASSERT_TRUE(candidate.has_value()) << candidate.error().display();
  EXPECT_EQ(candidate->symbols, kSymbolsPerLevel + 1);
  EXPECT_TRUE(candidate->data == data);
}
