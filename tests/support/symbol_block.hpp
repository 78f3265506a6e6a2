// Test-only blocks made from the symbols a test wants a block to hold, rather
// than from the bytes it should decode to. The bytes follow from the symbols
// as every decoder derives them: the move-to-front and run stages give the
// Burrows-Wheeler column, whose inverse transform (whatever column it is)
// and final run-length stage give the output.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "support/block_builder.hpp"

namespace morvane::test {

// Follows a symbol list as a block's symbol stage reads it, to tell whether
// one more symbol keeps the block valid: no end-of-block symbol inside, runs
// of at most 31 digits, at most `limit` column entries.
class SymbolBudget {
 public:
  explicit SymbolBudget(std::size_t used_bytes, std::uint64_t limit = 900000);
  // Takes `symbol` when the block stays valid with it; otherwise says false
  // and stays as it was.
  bool take(std::uint16_t symbol);
  // Column entries so far, a run not yet ended included.
  std::uint64_t entries() const { return entries_ + run_; }

 private:
  std::uint16_t end_of_block_;
  std::uint64_t limit_;
  std::uint64_t entries_ = 0, run_ = 0;
  unsigned digits_ = 0;
};

struct SymbolBlock {
  BlockFields fields;
  std::vector<std::uint8_t> decoded;
};

// A valid block of `symbols` (the last one the end-of-block symbol) over the
// byte values `used`, coded by `tables` tables of the same `lengths`, one
// selector of table 0 per 50 symbols, with the origin pointer `origin`
// (below the column's length). Nothing when the output would end with four
// equal bytes and no repeat count after them, which decoders refuse.
std::optional<SymbolBlock> block_from_symbols(std::vector<std::uint16_t> symbols, std::vector<std::uint8_t> used,
                                              const std::vector<std::uint8_t>& lengths, unsigned tables,
                                              std::uint32_t origin);

// The Burrows-Wheeler column that `symbols` give, starting from the
// move-to-front list `order` (the byte values in use, increasing, at the
// start of a block), which they leave as the stage leaves it. A run still
// open at the end is left out.
std::vector<std::uint8_t> column_of(std::span<const std::uint16_t> symbols, std::vector<std::uint8_t>& order);

// Where the inverse transform goes from each entry of `column`: the entry
// that each one links to, in the format's order (the k-th entry of byte b
// among the sorted entries links to the k-th place of b in the column).
std::vector<std::uint32_t> links_of(std::span<const std::uint8_t> column);

// Makes the inverse transform of `column` go round all of it as one cycle,
// as that of a real text does, by swapping adjacent unequal entries at
// `from` or later, each swap joining two cycles; false when some cycle has
// no such place.
bool join_cycles(std::vector<std::uint8_t>& column, std::size_t from);

// Whether the final run-length stage ends `walk` right after four equal
// bytes, waiting for their count (a block every decoder refuses).
bool awaits_count(std::span<const std::uint8_t> walk);

// The bytes that the inverse transform of `column` from `origin` gives, before
// the final run-length stage.
std::vector<std::uint8_t> walk_of(std::span<const std::uint8_t> column, std::uint32_t origin);

}  // namespace morvane::test
