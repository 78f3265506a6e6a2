// The engine's scan of a whole input: only the block and end-of-stream magics
// the chain of blocks may pass through, eight bytes each, kept per 1 MiB
// chunk so that chunks scanned on several threads are never joined by a copy.
// Block magics are counted against a cap while scanning, over all chunks at
// once, and an input over the cap stops being scanned as soon as that is
// known.
#pragma once

#include <cstdint>
#include <span>

#include "morvane/error.hpp"
#include "morvane/format/scan.hpp"

namespace morvane::concurrency {
class ThreadPool;
}

namespace morvane::format {

// The number of chunks an input of `length` bytes is cut into.
inline constexpr std::uint64_t scan_chunks(std::uint64_t length) {
  return (length + kScanChunkBytes - 1) / kScanChunkBytes;
}

// InvalidStreamHeader unless the input starts with "BZh1".."BZh9". Otherwise
// the magics of every chunk (on `pool` when one is given and there are
// several chunks), or over_cap once more than `block_cap` block magics are
// found. Stream-header candidates are not looked for.
Result<MagicScan> scan_magics(std::span<const std::uint8_t> data, const concurrency::ThreadPool* pool,
                              std::uint64_t block_cap);

}  // namespace morvane::format
