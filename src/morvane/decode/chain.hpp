// Where the chain of real blocks goes next, seen from the markers alone: from
// a block's end to the marker there, through end-of-stream markers and the
// stream headers after them to the next stream's first block. These are the
// links the ordered walk follows, without its CRC and size checks, so the
// prediction agrees with the walk up to the first failure the walk meets.
// The parallel road uses it to finish only the candidates on the chain.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "morvane/decode/markers.hpp"

namespace morvane::decode {

// The marker index of the block that follows a block ending at `end_bit`, or
// nothing where the chain ends or breaks there.
std::optional<std::uint64_t> next_chain_block(std::span<const std::uint8_t> data, const MarkerList& markers,
                                              std::uint64_t end_bit);

// The marker index of the first block of the stream whose header begins at
// byte `header_byte` (or of a later stream, when that one holds no block).
std::optional<std::uint64_t> first_chain_block(std::span<const std::uint8_t> data, const MarkerList& markers,
                                               std::uint64_t header_byte);

}  // namespace morvane::decode
