// The decoder of one bzip2 block: stored CRC and header, Huffman tables and
// selectors, the symbol stage (move-to-front and runs), the inverse
// Burrows-Wheeler transform, the final run-length stage and the CRC check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/workspace.hpp"
#include "morvane/error.hpp"

namespace morvane::decoder {

struct DecodedBlock {
  std::vector<std::uint8_t> data;
  std::uint32_t crc;      // the stored block CRC, verified against data
  std::uint64_t symbols;  // Burrows-Wheeler length of the block
};

struct DecodedCandidate {
  std::vector<std::uint8_t> data;
  std::uint64_t end_bit;  // the bit right after the block
  std::uint64_t symbols;
};

class Decoder {
 public:
  // Decodes the block whose magic the caller has just read; on success the
  // cursor stands right after the end-of-block code. `level` is 1..9.
  Result<DecodedBlock> block(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc);

 private:
  // The Burrows-Wheeler vector (byte in bits 0..7, link in bits 8..31) and
  // the transform's scratch; kept from block to block, so a reused Decoder
  // stops allocating once it has held its largest block.
  Workspace work_;
};

// Decodes the presumed block magic at `bit_offset` with a fresh Decoder, under
// the level-9 limits; `symbols` lets the caller apply the stream's own limit.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc);

// The same with a Decoder of the caller's, reused from candidate to candidate:
// a worker thread keeps one so that the transform's memory is allocated (and
// its pages faulted in) once per thread instead of once per candidate. The
// result is the same as with a fresh Decoder.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc, Decoder& decoder);

}  // namespace morvane::decoder
