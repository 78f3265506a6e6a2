// The decode engine's entry points. A decompression on one thread runs the
// serial stream decoder (no scan, no markers, no index); everything else takes
// the scanning road: pool, scan, marker list and ordered walk, with the blocks
// decoded on the calling thread (one thread) or speculatively on the pool.
//
// Every entry point checks the options first, and may run on several threads
// at once over the same input; each call uses its own writer and progress
// callback, and calls them on the calling thread only: each block's output
// in input order, then one flush.
#pragma once

#include <cstdint>
#include <span>

#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

// Decompresses the whole input into `writer`. The scanning road's index would
// be dropped, so it is not built. `progress` gets (bytes consumed up to the
// block's end, decoded bytes so far) after each block and (input length,
// total) after the final flush.
Result<void> decompress_to_writer_with_progress(std::span<const std::uint8_t> data, WriterRef writer,
                                                DecodeOptions options, ProgressRef progress);
Result<void> decompress_to_writer(std::span<const std::uint8_t> data, WriterRef writer, DecodeOptions options);

// The scanning road at every thread count: writes every block to `writer` and
// returns the block index of the input (hashing the whole input with BLAKE3).
Result<index::Index> decode_and_index(std::span<const std::uint8_t> data, WriterRef writer, DecodeOptions options,
                                      ProgressRef progress);

// The block index alone: decode_and_index with a discarding writer (one
// thread walks without a pool, never the serial decoder).
Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options);

}  // namespace morvane::decode
