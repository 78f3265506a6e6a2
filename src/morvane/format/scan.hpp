// The block scan: every byte offset where a stream header could begin and
// every bit offset that holds a block or end-of-stream magic, true or false.
// Nothing is decoded; the ordered assembly later tells real from chance.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvane/error.hpp"

namespace morvane::concurrency {
class ThreadPool;
}

namespace morvane::format {

// Inputs above this many bytes are scanned in chunks of this size on the pool.
inline constexpr std::uint64_t kScanChunkBytes = 1048576;

// The number of pieces scan_with_pool cuts an input of `length` bytes into.
inline constexpr std::uint64_t scan_chunks(std::uint64_t length) {
  return length <= kScanChunkBytes ? 1 : (length + kScanChunkBytes - 1) / kScanChunkBytes;
}

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

// The candidates of one scan, each vector in ascending position.
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

// The whole input: InvalidStreamHeader unless it starts with "BZh1".."BZh9".
// Inputs above kScanChunkBytes are scanned in chunks on `pool` when one is
// given; the joined result equals one scan of the whole input.
Result<ScanResult> scan_with_pool(std::span<const std::uint8_t> data, const concurrency::ThreadPool* pool);

}  // namespace morvane::format
