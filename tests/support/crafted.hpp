// Test-only makers of hostile but valid input for the speculative engine:
// streams whose real blocks hide, in their selector lists, bit strings of the
// test's choice, such as forged blocks that decode to 46.6 MB from a few
// hundred bits. A selector is written in unary (a run of ones ended by a
// zero), so any bit string that ends with a zero and holds no run of as many
// ones as there are tables can be planted there; every table of the real
// block codes alike, so the selectors' values do not change the block.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/bit_writer.hpp"
#include "support/block_builder.hpp"

namespace morvane::test {

// A bit string, most significant bit first.
using BitString = std::vector<bool>;

// Bits [from, to) of what `out` holds.
BitString bits_of(const BitWriter& out, std::uint64_t from, std::uint64_t to);

// A valid block of `symbols` bytes 0xFF, four equal bytes and a repeat count
// of 255 at a time: symbols / 5 x 259 bytes of output (46.6 MB for 900000),
// written in about 210 bits that hold no run of six ones. `symbols` is
// lowered by steps of five until its CRC leaves the bits plantable.
BitString forged_block(std::uint32_t symbols = 900000);

struct Planted {
  std::vector<std::uint8_t> compressed, decoded;
  std::vector<std::uint64_t> real;     // bit offsets of the real blocks' magics
  std::vector<std::uint64_t> ends;     // the bit right after each real block's end-of-block code
  std::vector<std::uint64_t> planted;  // bit offset where each hidden string begins
};

// How much a maker writes: at least `blocks` real blocks, and more until the
// stream holds `min_bytes`. Large benchmark inputs need not keep their
// decoded bytes (Planted::decoded then stays empty).
struct Extent {
  std::size_t blocks = 1;
  std::size_t min_bytes = 0;
  bool keep_decoded = true;
};

// Writes a level-9 stream block by block and records where each block lies.
class StreamMaker {
 public:
  explicit StreamMaker(Extent extent);
  // Whether the extent asks for another block.
  bool wants_more() const;
  // Appends `fields` (whose stored CRC must be that of `decoded`).
  BlockLayout add(const BlockFields& fields, std::span<const std::uint8_t> decoded);
  BitWriter& out() { return out_; }
  Planted& planted() { return result_; }
  // The end-of-stream record; the maker is spent.
  Planted finish();

 private:
  Extent extent_;
  BitWriter out_;
  Planted result_;
  std::uint32_t combined_ = 0;
};

// What one real block hides in its selector list: the strings back to back,
// each starting at a bit of the file that is a multiple of `align` (zero
// bits before it), then zero bits up to `selector_bits` in all.
struct Hiding {
  std::vector<BitString> hidden;
  std::size_t selector_bits = 0;
  unsigned align = 1;
};

// Appends a block of `fields` (a valid block, every table given the first
// one's lengths here) whose selectors hide `hiding`; records each string's
// offset in the maker's Planted::planted. Each string must end with a zero
// bit. The block is valid while it has at most kMaxSelectors selectors (one
// per zero bit); past that its 15-bit count wraps, which leaves only the
// file's length of use.
void add_hiding_block(StreamMaker& maker, BlockFields fields, std::span<const std::uint8_t> decoded,
                      const Hiding& hiding);

// The most selectors a block has: the largest number of the 15-bit count field.
inline constexpr std::size_t kMaxSelectors = (1u << 15) - 1;

// The number of tables that hiding blocks use: a planted string may hold runs
// of up to kPlantTables - 1 ones.
inline constexpr unsigned kPlantTables = 6;

// A valid level-9 stream of `blocks` real blocks of `text_length` bytes of
// text each; every block hides all of `hidden`, back to back, then zero bits
// up to `selector_bits` in all. Each string must end with a zero bit.
Planted planted_stream(std::size_t blocks, const std::vector<BitString>& hidden, std::size_t selector_bits,
                       std::size_t text_length = 1500);

// The crafted input: `blocks` real blocks, each hiding a chain of `per_block`
// forged blocks, each one ending where the next begins.
Planted forged_chains(std::size_t blocks, std::size_t per_block);

// The bits of a 48-bit magic followed by zero bits up to `length` bits.
BitString magic_bits(std::uint64_t magic, std::size_t length);

}  // namespace morvane::test
