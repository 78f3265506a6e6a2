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

// Every candidate whose first bit (a header's "B") lies in bytes [start, end)
// of `data` (start <= end <= data.size()). Fields after a magic may lie past
// `end`; a candidate whose fields would pass the input's end is not recorded.
ScanResult scan_range(std::span<const std::uint8_t> data, std::uint64_t start, std::uint64_t end);

// The whole input on the calling thread: InvalidStreamHeader unless it starts
// with "BZh1".."BZh9".
Result<ScanResult> scan_input(std::span<const std::uint8_t> data);

}  // namespace morvane::format
