// The stages of one block, in the order the block decoder runs them. Internal
// to the decoder (block.cpp) and its tests.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/wanted.hpp"
#include "morvane/decoder/huffman.hpp"
#include "morvane/error.hpp"

namespace morvane::decoder::stages {

inline constexpr unsigned kMinTables = 2;
inline constexpr unsigned kMaxTables = 6;
inline constexpr unsigned kGroupSize = 50;  // symbols coded by one selector

// The coding tables of one block and the selector of each group of symbols.
struct CodingTables {
  std::vector<Huffman> tables;
  std::vector<std::uint8_t> selectors;
};

// The table count, selectors and code lengths that follow the byte maps;
// `alphabet` is the number of symbols (used bytes + 2). False once `wanted`
// says no (asked every few thousand selectors or code-length steps).
Result<bool> read_tables(Bits& bits, unsigned alphabet, CodingTables& out, const Wanted& wanted);

// The move-to-front list of the used byte values, front first.
struct MtfList {
  std::array<std::uint8_t, 256> bytes;
  unsigned size;
};

// What decode_symbols returns when `wanted` said the block is no longer wanted.
inline constexpr std::uint32_t kAbandoned = UINT32_MAX;

// The symbol stage: decodes the Huffman symbols up to the end-of-block symbol
// and undoes the move-to-front and run stages into tt, writing each entry's
// byte (the entry's layout is described in inverse.cpp). `tt` has room for
// `max_symbols` entries. Returns the number of entries written, or
// kAbandoned once `wanted` says no (asked before each group of symbols and
// before each long run is written). `written` gets the number of entries
// written whatever the outcome: the memory and work the call cost.
Result<std::uint32_t> decode_symbols(Bits& bits, const CodingTables& tables, MtfList& mtf, std::uint32_t* tt,
                                     std::uint32_t max_symbols, const Wanted& wanted, std::uint32_t& written);

// Links tt into the inverse Burrows-Wheeler permutation and walks it from
// `origin`, writing the n bytes of the block before its final run-length
// stage. `scratch` (2 x n bytes) is working room.
void inverse_transform(std::uint32_t* tt, std::uint32_t n, std::uint32_t origin, std::uint8_t* out,
                       std::span<std::uint8_t> scratch);

// What the first pass of the final run-length stage finds: the length of the
// output, and how many repeat counts it wrote to `counts`.
struct RunScan {
  std::uint64_t length;
  std::uint32_t runs;
};
// Finds the place of every repeat count in `bytes` (at most one per five
// bytes: `counts` has room for that many) and the output's length. Failures
// report `block_start`: BlockOverflow when the output would pass
// `output_limit`, InvalidBlock when the block ends right after four equal
// bytes (their count is missing).
Result<RunScan> scan_runs(std::span<const std::uint8_t> bytes, std::uint64_t output_limit,
                          std::uint64_t block_start, std::uint32_t* counts);
// Undoes the final run-length stage into `out`, which has room for the
// output's length; `counts` are the places scan_runs found.
void expand_runs(std::span<const std::uint8_t> bytes, std::span<const std::uint32_t> counts, std::uint8_t* out);

}  // namespace morvane::decoder::stages
