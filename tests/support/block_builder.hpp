// Test-only builder of bzip2 blocks and streams from named fields. Every field
// of a block is written where its name says, so a test can break exactly one
// of them and knows the bit position of each; block_from_bytes gives the
// fields of a valid block (forward BWT, move-to-front, Huffman lengths) to
// start from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvane/constants.hpp"
#include "support/bit_writer.hpp"

namespace morvane::test {

// The 48-bit magics as the builder writes them.
inline constexpr std::uint64_t kBlockMagicBits = kBlockMagic;
inline constexpr std::uint64_t kEndMagicBits = kEndMagic;
inline constexpr std::uint16_t kRunA = 0;
inline constexpr std::uint16_t kRunB = 1;
inline constexpr std::size_t kSymbolsPerSelector = 50;
inline constexpr unsigned kMaxCodeLength = 20;

struct BlockFields {
  std::uint32_t stored_crc = 0;                 // 32 bits
  bool randomized = false;                      // 1 bit
  std::uint32_t origin = 0;                     // 24 bits
  std::vector<std::uint8_t> used;               // byte values in use, increasing; U = used.size()
  std::optional<std::uint16_t> group_map;       // 16 bits; replaces the map derived from `used`
  std::uint32_t tables = 2;                     // 3 bits
  std::vector<std::uint8_t> selectors;          // table number per 50 symbols, written move-to-front coded
  std::optional<std::uint32_t> selector_count;  // 15 bits; replaces selectors.size()
  std::vector<std::uint32_t> selector_codes;    // when set: the unary counts written instead of `selectors`
  std::vector<std::uint8_t> start_lengths;      // 5 bits per table; a missing entry is the table's first length
  std::vector<std::vector<std::uint8_t>> lengths;  // per table, one code length per symbol
  std::vector<std::uint16_t> symbols;           // the coded symbols as written, end-of-block included
  std::vector<bool> tail;                       // raw bits written right after the symbols

  std::size_t alphabet() const { return used.size() + 2; }
  std::uint16_t end_of_block() const { return static_cast<std::uint16_t>(used.size() + 1); }
};

// Where write_block put each field: absolute bit positions in the writer.
struct BlockLayout {
  std::uint64_t start = 0;  // first bit of the block magic
  std::uint64_t crc = 0, randomized = 0, origin = 0, group_map = 0, tables = 0, selector_count = 0;
  std::vector<std::uint64_t> selector_starts;
  std::vector<std::uint64_t> table_starts;  // each table's 5-bit start length
  std::vector<std::uint64_t> table_ends;    // the bit after each table's last length
  std::vector<std::uint64_t> symbol_ends;   // the bit after each symbol's code
  std::uint64_t end = 0;                    // the bit after the symbols and the tail
};

// Writes the block magic and then the fields in the format's order. Symbols
// are coded with the table of their selector (the last selector's table once
// selectors run out), canonical codes as the format assigns them.
BlockLayout write_block(BitWriter& out, const BlockFields& fields);

// "BZh" and the level digit ('0' + level, so level 0 writes "BZh0").
void write_stream_header(BitWriter& out, unsigned level);
// The end-of-stream magic, the combined CRC, then padding to a byte boundary.
void write_stream_end(BitWriter& out, std::uint32_t combined_crc, bool pad_with_ones = false);
// A whole valid stream with one block per chunk.
std::vector<std::uint8_t> make_stream(unsigned level, std::span<const std::vector<std::uint8_t>> chunks);

// CRC-32/BZIP2, computed bit by bit, independently of the library's table.
std::uint32_t crc32(std::span<const std::uint8_t> bytes);
std::uint32_t combine_crc(std::uint32_t combined, std::uint32_t block_crc);

// The initial run-length stage: a run of 4 to 259 equal bytes becomes the four
// bytes and a count of the rest (0..255).
std::vector<std::uint8_t> initial_rle(std::span<const std::uint8_t> data);
std::vector<std::uint8_t> undo_initial_rle(std::span<const std::uint8_t> rle);

// Forward Burrows-Wheeler transform of the rotations: the last column and the
// place of rotation 0 among the sorted rotations.
struct Bwt {
  std::vector<std::uint8_t> last;
  std::uint32_t origin = 0;
};
Bwt bwt(std::span<const std::uint8_t> block);

// Move-to-front over `used`, zero runs as RUNA/RUNB digits, end-of-block last.
std::vector<std::uint16_t> mtf_symbols(std::span<const std::uint8_t> last, std::span<const std::uint8_t> used);
// The RUNA/RUNB digits of a run of `count` >= 1, least significant first.
std::vector<std::uint16_t> run_symbols(std::uint64_t count);
// A block of one run of `entries` bytes 0xFF in its transform column, coded
// by a few dozen run digits under two tables of 2-bit codes (RUNA, RUNB, end
// of block): some hundred bits that decode to up to 46.6 MB. No run of more
// than two ones in its bits but for its CRC, which is left 0.
BlockFields run_block(std::uint32_t entries);
// Huffman code lengths of at most `max_length` bits for the given weights (all > 0).
std::vector<std::uint8_t> code_lengths(std::span<const std::uint64_t> weights, unsigned max_length = kMaxCodeLength);

// A valid block whose decoded bytes are `rle` after the final run-length stage.
BlockFields block_from_rle(std::span<const std::uint8_t> rle, unsigned tables = 2);
// A valid block that decodes to `data` (whose initial_rle must fit the level).
BlockFields block_from_bytes(std::span<const std::uint8_t> data, unsigned tables = 2);
// Extends or cuts the selectors (group g uses table g % tables) to cover the symbols.
void fit_selectors(BlockFields& fields);
// Gives every table the Huffman lengths of the symbols of its groups (each weight + 1).
void fit_lengths(BlockFields& fields);

}  // namespace morvane::test
