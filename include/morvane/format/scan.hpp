// The block scan: every byte offset where a stream header could begin and
// every bit offset that holds a block or end-of-stream magic, true or false.
// Nothing is decoded; the ordered assembly later tells real from chance. The
// functions may run on several threads at once; a ScanResult is a value.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvane/error.hpp"

namespace morvane::format {

struct StreamCandidate {
  std::uint64_t byte_offset;  // of the "B"
  std::uint8_t level;         // the digit's value, 1 to 9
  bool operator==(const StreamCandidate&) const = default;
};

struct BlockCandidate {
  std::uint64_t bit_offset;  // first bit of the block magic
  std::uint32_t crc;         // the 32 bits after the magic
  std::uint32_t orig_ptr;    // 24 bits, 81 bits after the magic's start
  bool randomized;           // the bit 80 bits after the magic's start
  bool operator==(const BlockCandidate&) const = default;
};

struct EndCandidate {
  std::uint64_t bit_offset;  // first bit of the end-of-stream magic
  std::uint32_t crc;         // the combined stream CRC after the magic
  bool operator==(const EndCandidate&) const = default;
};

// The candidates of one scan, each vector in ascending position. The
// candidates and the result are values.
struct ScanResult {
  std::vector<StreamCandidate> streams;
  std::vector<BlockCandidate> blocks;
  std::vector<EndCandidate> ends;
  bool operator==(const ScanResult&) const = default;
};

// The engine's view of one block or end-of-stream magic: its bit offset
// shifted left by one, the lowest bit set for an end-of-stream magic. Keys
// sort as their offsets do. The fields after the magic are read again from
// the input when they are wanted.
using MagicKey = std::uint64_t;
inline constexpr MagicKey block_key(std::uint64_t bit_offset) { return bit_offset << 1; }
inline constexpr MagicKey end_key(std::uint64_t bit_offset) { return bit_offset << 1 | 1; }

// The engine scans in chunks of this many bytes.
inline constexpr std::uint64_t kScanChunkBytes = 1048576;

// The magics of a whole input as the engine keeps them: chunk c holds, in
// ascending order, those whose first bit lies in bytes [c, c + 1) x
// kScanChunkBytes. A magic is recorded under the same rule as scan_range's
// (its fields must fit in the input).
struct MagicScan {
  std::vector<std::vector<MagicKey>> chunks;
  bool over_cap = false;  // more block magics than the cap: chunks are incomplete
};

// Every candidate whose first bit (a header's "B") lies in bytes [start, end)
// of `data` (start <= end <= data.size()). Fields after a magic may lie past
// `end`; a candidate whose fields would pass the input's end is not recorded.
ScanResult scan_range(std::span<const std::uint8_t> data, std::uint64_t start, std::uint64_t end);

// The whole input on the calling thread: InvalidStreamHeader unless it starts
// with "BZh1".."BZh9".
Result<ScanResult> scan_input(std::span<const std::uint8_t> data);

}  // namespace morvane::format
