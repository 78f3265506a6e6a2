// Test-only makers of the input classes that cost the speculative engine most
// for what they hold, each a valid file (but one) that every other decoder
// accepts. Each is deterministic and sized by an Extent; bench/make_crafted
// writes them for the benchmarks. The nested false headers live in
// nested_headers.hpp.
#pragma once

#include <cstdint>
#include <vector>

#include "support/crafted.hpp"

namespace morvane::test {

// Blocks made of one byte: each block of `symbols` Burrows-Wheeler symbols
// holds only bytes 0xFF, four equal bytes and a repeat count of 255 at a
// time, so it decodes to symbols / 5 x 259 bytes (46.6 MB for 900000), the
// most a level-9 block can.
Planted run_heavy(Extent extent, std::uint32_t symbols = 900000);

// The largest number of "BZh9" copies that a hiding block's selector list holds.
std::size_t max_header_copies();

// Blocks of text whose selector lists each hold `copies` byte-aligned stream
// headers "BZh9", back to back. Planted::planted gives the first copy's bit
// of each block; the others follow every 32 bits.
Planted header_patterns(Extent extent, std::size_t copies = max_header_copies());

// "BZh9" repeated up to `length` bytes: an invalid input, a stream header at
// every fourth byte and nothing else.
std::vector<std::uint8_t> repeated_headers(std::size_t length);

// One block of "a" whose selector list holds `magics` block magics back to
// back: with 110 the file (about 700 bytes) holds more block magics than the
// marker cap of (length >> 4) + 64 allows, though it is valid.
Planted over_marker_cap(std::size_t magics = 110);

}  // namespace morvane::test
