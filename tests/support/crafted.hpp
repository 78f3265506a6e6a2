// Test-only makers of hostile but valid input for the speculative engine:
// streams whose real blocks hide, in their selector lists, bit strings of the
// test's choice, such as forged blocks that decode to 46.6 MB from a few
// hundred bits. A selector is written in unary (a run of ones ended by a
// zero), so any bit string that ends with a zero and holds no run of as many
// ones as there are tables can be planted there; every table of the real
// block codes alike, so the selectors' values do not change the block.
#pragma once

#include <cstdint>
#include <vector>

namespace morvane::test {

// A bit string, most significant bit first.
using BitString = std::vector<bool>;

// A valid block of `symbols` bytes 0xFF, four equal bytes and a repeat count
// of 255 at a time: symbols / 5 x 259 bytes of output (46.6 MB for 900000),
// written in about 210 bits that hold no run of six ones. `symbols` is
// lowered by steps of five until its CRC leaves the bits plantable.
BitString forged_block(std::uint32_t symbols = 900000);

struct Planted {
  std::vector<std::uint8_t> compressed, decoded;
  std::vector<std::uint64_t> real;     // bit offsets of the real blocks' magics
  std::vector<std::uint64_t> planted;  // bit offset where each hidden string begins
};

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
