// Hand-built blocks: every check of the block decoder, with the exact kind and
// bit position it reports. The builder's valid blocks are first proven by the
// reference decoder, so a failure below is the library's.
#include <gtest/gtest.h>

#include <functional>

#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

// Lead-in bits so that a crafted block starts inside a byte.
constexpr unsigned kLeadBits = 5;

struct Crafted {
  std::vector<std::uint8_t> bytes;
  BlockLayout at;
};

// The block behind the lead-in bits; with a trailer an end-of-stream record
// follows as in a stream, else the input ends with the block's last byte.
Crafted craft(const BlockFields& f, bool trailer = true, unsigned lead_bits = kLeadBits) {
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
  if (block) {
    EXPECT_EQ(bits.pos(), c.at.end) << "cursor after the end-of-block code";
  }
  return block;
}

template <class T>
testing::AssertionResult fails_with(const Result<T>& r, std::uint64_t bit, DecodeError kind) {
  const Error want = Error::decode(bit, kind);
  if (r) return testing::AssertionFailure() << "succeeded; expected " << want.display();
  if (r.error() == want) return testing::AssertionSuccess();
  return testing::AssertionFailure() << r.error().display() << "; expected " << want.display();
}

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// A valid block of 2000 bytes of text: several selectors, both tables used.
BlockFields text_block() { return block_from_bytes(text_bytes(2000, 5)); }

// A valid block over the two bytes "a" and "b": four symbols, RUNA, RUNB,
// the move-to-front position 1 (symbol 2) and the end of block (symbol 3).
BlockFields two_byte_block() { return block_from_bytes(bytes_of("ab")); }

// n bytes without a run of four equal bytes, so n symbols.
std::vector<std::uint8_t> runless_bytes(std::size_t n) {
  auto data = random_bytes(n, 11);
  for (std::size_t i = 3; i < n; ++i)
    if (data[i] == data[i - 1] && data[i] == data[i - 2] && data[i] == data[i - 3]) data[i] ^= 1;
  return data;
}

// The block in a stream of its own, decoded by the reference decoder.
std::optional<std::vector<std::uint8_t>> reference_decode(const BlockFields& f, unsigned level = 9) {
  BitWriter out;
  write_stream_header(out, level);
  write_block(out, f);
  write_stream_end(out, combine_crc(0, f.stored_crc));
  return bzip2_decompress(out.bytes());
}

// Symbol i < 10 gets i + 1 bits, every other symbol 20: a valid, incomplete
// code whose long codes take the decoder's bit-by-bit walk.
void use_long_codes(BlockFields& f) {
  for (auto& table : f.lengths)
    for (std::size_t s = 0; s < table.size(); ++s) table[s] = static_cast<std::uint8_t>(s < 10 ? s + 1 : 20);
}

// Makes `symbols` (end of block included) the block's whole symbol stream.
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
  struct Case {
    const char* name;
    std::vector<std::uint8_t> data;
    unsigned tables;
    bool long_codes;
  } cases[] = {
      {"one byte", {'a'}, 2, false},
      {"three bytes", bytes_of("abc"), 3, false},
      {"every byte value", random_bytes(3000, 4), 2, false},
      {"text, six tables", text_bytes(120000, 3), 6, false},
      {"random, four tables", random_bytes(50000, 2), 4, false},
      {"skewed, five tables", skewed, 5, false},
      {"20-bit codes", text_bytes(5000, 8), 2, true},
      {"long runs", std::vector<std::uint8_t>(1000, 7), 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockFields f = block_from_bytes(c.data, c.tables);
    if (c.long_codes) use_long_codes(f);
    auto reference = reference_decode(f);
    ASSERT_TRUE(reference.has_value());
    ASSERT_TRUE(*reference == c.data) << "builder fault";

    auto block = decode(craft(f));
    ASSERT_TRUE(block.has_value()) << block.error().display();
    EXPECT_TRUE(block->data == c.data);
    EXPECT_EQ(block->crc, f.stored_crc);
    EXPECT_EQ(block->symbols, initial_rle(c.data).size());
  }
}

TEST(BlockCraftedValid, PythonAgreesWithTheBuilder) {
  auto data = text_bytes(30000, 12);
  auto reference = python_bz2_decompress(make_stream(9, std::vector<std::vector<std::uint8_t>>{data}));
  ASSERT_TRUE(reference.has_value());
  EXPECT_TRUE(*reference == data);
}

TEST(BlockCraftedValid, FinalRunLengthStage) {
  // After four equal bytes the next byte is a count; the byte after a count starts afresh.
  // A block that ends on four equal bytes has no count: they are output as
  // they are (the reference decoder refuses such a block).
  struct Case {
    std::vector<std::uint8_t> rle;
    std::vector<std::uint8_t> output;
    bool reference_accepts = true;
  } cases[] = {
      {{'a', 'a', 'a', 'a', 0}, bytes_of("aaaa")},
      {{'a', 'a', 'a', 'a', 255}, std::vector<std::uint8_t>(259, 'a')},
      {{2, 2, 2, 2, 2, 2, 2, 2, 2, 1}, std::vector<std::uint8_t>(11, 2)},
      {{'a', 'a', 'a', 'b', 'b', 'b', 'b', 0, 'b'}, bytes_of("aaabbbbb")},
      {{'a', 'a', 'a', 'a'}, bytes_of("aaaa"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.rle));
    BlockFields f = block_from_rle(c.rle);
    if (c.reference_accepts) {
      ASSERT_EQ(reference_decode(f), c.output) << "builder fault";
    }
    auto block = decode(craft(f));
    ASSERT_TRUE(block.has_value()) << block.error().display();
    EXPECT_EQ(block->data, c.output);
    EXPECT_EQ(block->symbols, c.rle.size());
  }
}

TEST(BlockCraftedValid, LargestLevel1Block) {
  // 100000 symbols, all groups of four equal bytes and the count 255.
  std::vector<std::uint8_t> data(kOutputPerLevel, 'a');
  BlockFields f = block_from_bytes(data);
  ASSERT_EQ(initial_rle(data).size(), kSymbolsPerLevel);
  auto block = decode(craft(f), 1);
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_EQ(block->data.size(), 5180000u);
  EXPECT_TRUE(block->data == data);
  EXPECT_EQ(block->symbols, kSymbolsPerLevel);
}

TEST(BlockCraftedHeader, ExpectedCrcIsCheckedBeforeAnythingElse) {
  BlockFields f = text_block();
  Crafted valid = craft(f);
  EXPECT_TRUE(decode(valid).has_value());
  EXPECT_TRUE(decode(valid, 9, f.stored_crc).has_value());
  EXPECT_TRUE(fails_with(decode(valid, 9, f.stored_crc + 1), valid.at.start, DecodeError::InvalidBlock));

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
  const auto n = static_cast<std::uint32_t>(initial_rle(text_bytes(2000, 5)).size());
  struct Case {
    const char* name;
    std::function<void(BlockFields&)> damage;
    DecodeError kind;
  } cases[] = {
      {"randomised flag", [](BlockFields& b) { b.randomized = true; }, DecodeError::RandomizedBlock},
      {"randomised, then garbage", [](BlockFields& b) { b.randomized = true, b.tables = 0, b.used.clear(); },
       DecodeError::RandomizedBlock},
      {"no group in use", [](BlockFields& b) { b.group_map = 0; }, DecodeError::InvalidBlock},
      {"a group without bytes", [](BlockFields& b) { b.used.clear(), b.group_map = 0x0100; },
       DecodeError::InvalidBlock},
      {"origin pointer = symbol count", [n](BlockFields& b) { b.origin = n; }, DecodeError::InvalidBlock},
      {"origin pointer = 2^24 - 1", [](BlockFields& b) { b.origin = 0xFFFFFF; }, DecodeError::InvalidBlock},
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
  BlockFields randomized = f;
  randomized.randomized = true;
  Crafted cut = craft(randomized, false);
  cut.bytes.resize(cut.at.origin / 8 + 1);
  EXPECT_TRUE(fails_with(decode(cut), cut.at.start, DecodeError::RandomizedBlock));
}

TEST(BlockCraftedHeader, EndOfBlockOnlyFailsOnTheOriginPointer) {
  BlockFields f = two_byte_block();
  f.origin = 0;
  set_symbols(f, {f.end_of_block()});
  Crafted crafted = craft(f);
  EXPECT_TRUE(fails_with(decode(crafted), crafted.at.start, DecodeError::InvalidBlock));
}

TEST(BlockCraftedTables, TableCountOutside2To6) {
  for (unsigned tables : {0u, 1u, 7u}) {
    SCOPED_TRACE(tables);
    BlockFields f = text_block();
    f.tables = tables;
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.tables + 3, DecodeError::InvalidHuffman));
  }
  for (unsigned tables = 2; tables <= 6; ++tables) {
    auto data = text_bytes(5000, tables);
    auto block = decode(craft(block_from_bytes(data, tables)));
    ASSERT_TRUE(block.has_value()) << tables << ": " << block.error().display();
    EXPECT_TRUE(block->data == data) << tables;
  }
}

TEST(BlockCraftedTables, SelectorCount) {
  BlockFields f = text_block();
  BlockFields none = f;
  none.selector_count = 0;
  Crafted crafted = craft(none);
  EXPECT_TRUE(fails_with(decode(crafted), crafted.at.selector_count + 15, DecodeError::InvalidBlock));

  // The largest count the field holds; the selectors beyond the symbols are read and ignored.
  BlockFields most = f;
  while (most.selectors.size() < 32767) most.selectors.push_back(most.selectors.size() % 2 ? 0 : 1);
  ASSERT_EQ(reference_decode(most), text_bytes(2000, 5)) << "builder fault";
  auto block = decode(craft(most));
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_TRUE(block->data == text_bytes(2000, 5));
}

TEST(BlockCraftedTables, SelectorCodeReachingTheTableCount) {
  for (unsigned tables : {2u, 6u}) {
    SCOPED_TRACE(tables);
    BlockFields f = block_from_bytes(text_bytes(2000, 5), tables);
    f.selectors.clear();
    f.selector_codes = {tables - 1, 0, tables};
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.selector_starts[2] + tables, DecodeError::InvalidBlock));
  }
}

TEST(BlockCraftedTables, CodeLengthOutside1To20) {
  // Lengths are checked before each symbol and after each step, at the cursor.
  struct Case {
    const char* name;
    std::size_t table;
    std::vector<std::uint8_t> start;  // start lengths of tables 0 and 1
    std::uint8_t first, second;       // lengths of symbols 0 and 1
    std::uint64_t after;              // bits after the table's start, where it fails
  } cases[] = {
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

TEST(BlockCraftedTables, OverSubscribedTableFailsAfterItsLengths) {
  for (std::size_t table : {0u, 1u}) {
    SCOPED_TRACE(table);
    BlockFields f = two_byte_block();
    f.lengths[table] = {1, 1, 2, 2};
    Crafted crafted = craft(f);
    EXPECT_TRUE(fails_with(decode(crafted), crafted.at.table_ends[table], DecodeError::InvalidHuffman));
  }
}

TEST(BlockCraftedTables, UnusedPatternOfAnIncompleteTable) {
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
  ASSERT_EQ(fits.symbols.size(), 50u);
  ASSERT_EQ(fits.selectors.size(), 1u);
  auto block = decode(craft(fits));
  ASSERT_TRUE(block.has_value()) << block.error().display();

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
  struct Case {
    const char* name;
    std::vector<std::uint16_t> prefix;
    std::uint64_t run;
    std::size_t fails_after;  // the symbol whose end the error reports; SIZE_MAX: decodes
  } cases[] = {
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
  // A run grows by at least 2^k with its k-th digit, so at level 1 the 17th
  // RUNA passes 100000 long before a 32nd run symbol could come.
  for (std::uint16_t digit : {kRunA, kRunB}) {
    SCOPED_TRACE(digit);
    BlockFields f = two_byte_block();
    std::vector<std::uint16_t> symbols(32, digit);
    symbols.push_back(f.end_of_block());
    set_symbols(f, symbols);
    Crafted crafted = craft(f);
    std::size_t passing = digit == kRunA ? 16 : 15;  // 2^17 - 1 and 2 x (2^16 - 1)
    EXPECT_TRUE(fails_with(decode(crafted, 1), crafted.at.symbol_ends[passing], DecodeError::BlockOverflow));
    std::size_t passing_level9 = digit == kRunA ? 19 : 18;  // 2^20 - 1 and 2 x (2^19 - 1) pass 900000
    EXPECT_TRUE(fails_with(decode(crafted, 9), crafted.at.symbol_ends[passing_level9], DecodeError::BlockOverflow));
  }
}

TEST(BlockCraftedCandidate, PositionsOfItsOwnFailures) {
  BlockFields f = text_block();
  Crafted crafted = craft(f);
  const std::uint64_t len_bits = 8 * crafted.bytes.size();
  const std::uint64_t end_magic = crafted.at.end;

  auto found = decoder::decode_candidate(crafted.bytes, crafted.at.start, f.stored_crc);
  ASSERT_TRUE(found.has_value()) << found.error().display();
  EXPECT_TRUE(found->data == text_bytes(2000, 5));
  EXPECT_EQ(found->end_bit, crafted.at.end);
  EXPECT_EQ(found->symbols, initial_rle(text_bytes(2000, 5)).size());

  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, crafted.at.start, ~f.stored_crc), crafted.at.start,
                         DecodeError::InvalidBlock));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, end_magic, 0), end_magic, DecodeError::InvalidMagic));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, 1, 0), 1, DecodeError::InvalidMagic));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, len_bits, 0), len_bits, DecodeError::Truncated));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, len_bits + 1, 0), len_bits + 1, DecodeError::Truncated));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, len_bits - 30, 0), len_bits - 30 + 24,
                         DecodeError::Truncated));
  EXPECT_TRUE(fails_with(decoder::decode_candidate(crafted.bytes, len_bits - 20, 0), len_bits - 20,
                         DecodeError::Truncated));
}

TEST(BlockCraftedCandidate, DecodesUnderTheLevel9Limits) {
  // A block too big for level 1 decodes; its symbol count tells the caller.
  auto data = runless_bytes(kSymbolsPerLevel + 1);
  BlockFields f = block_from_bytes(data);
  Crafted crafted = craft(f);
  EXPECT_FALSE(decode(crafted, 1).has_value());
  auto found = decoder::decode_candidate(crafted.bytes, crafted.at.start, f.stored_crc);
  ASSERT_TRUE(found.has_value()) << found.error().display();
  EXPECT_EQ(found->symbols, kSymbolsPerLevel + 1);
  EXPECT_TRUE(found->data == data);
}

TEST(BlockCraftedValid, DecoderIsReusableAfterAFailure) {
  decoder::Decoder d;
  BlockFields good = text_block();
  BlockFields bad = good;
  bad.stored_crc ^= 4;
  Crafted ok = craft(good), broken = craft(bad);
  for (const Crafted* c : {&ok, &broken, &ok}) {
    decoder::Bits bits(c->bytes, c->at.start + 48);
    auto block = d.block(bits, 9, std::nullopt);
    EXPECT_EQ(block.has_value(), c == &ok);
    if (block) {
      EXPECT_TRUE(block->data == text_bytes(2000, 5));
    }
  }
}
