// The scan of a whole input on the engine's pool: in chunks, one scan_range
// each, joined in order.
#pragma once

#include <cstdint>
#include <span>

#include "morvane/error.hpp"
#include "morvane/format/scan.hpp"

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

// The whole input: InvalidStreamHeader unless it starts with "BZh1".."BZh9".
// Inputs above kScanChunkBytes are scanned in chunks on `pool` when one is
// given; the joined result equals one scan of the whole input.
Result<ScanResult> scan_with_pool(std::span<const std::uint8_t> data, const concurrency::ThreadPool* pool);

}  // namespace morvane::format
