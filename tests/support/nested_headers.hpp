// Test-only maker of blocks whose symbol streams begin with false block
// headers written in the block's own code words. Each real block's first
// symbols are whatever its false headers (magic, CRC, randomised bit 0,
// origin, the real block's byte map and tables, enough selectors) parse to
// under its code; ordinary text symbols follow. Each false header ends on a
// code word, so the false candidate at its magic reads the rest of the real
// block's symbols, the later false headers included, up to the real
// end-of-block code, and only its CRC check fails: a speculative decoder
// that starts every candidate reads the block again for each false header.
#pragma once

#include <cstdint>

#include "support/crafted.hpp"

namespace morvane::test {

// Real blocks of about `symbols` column entries (900000: level 9), each
// beginning with `false_headers` false headers. Planted::planted gives the
// false magics, block after block, in order.
Planted nested_headers(Extent extent, std::uint32_t symbols = 900000, std::size_t false_headers = 9);

}  // namespace morvane::test
