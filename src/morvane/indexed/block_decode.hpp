// Decoding one indexed block on its own, checked against its index record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "morvane/error.hpp"
#include "morvane/index/index.hpp"

namespace morvane::indexed {

// Decodes block number `block` of `index` from the whole compressed input
// `source`: from its recorded bit offset, at its stream's level, expecting its
// recorded CRC, ending exactly at its recorded end bit and producing exactly
// its recorded length. Reads nothing of the stream header and checks no stream
// CRC. `block` must be a valid position in index.blocks.
Result<std::vector<std::uint8_t>> decode_indexed_block(std::span<const std::uint8_t> source,
                                                        const index::Index& index, std::size_t block);

}  // namespace morvane::indexed
