// The decode engine's entry points. A decompression on one thread runs the
// serial stream decoder (no scan, no markers, no index); everything else takes
// the scanning road: pool, scan, marker list and ordered walk, with the blocks
// decoded on the calling thread (one thread) or speculatively on the pool. An
// input with more block markers than the cap allows goes to the serial
// decoder instead, which builds the index itself where one is wanted: no
// candidate list, no speculation.
//
// The entry points are generic over the writer and the progress callback:
// one instantiation per type, no indirect calls. Every entry point checks the
// options first, and may run on several threads at once over the same input;
// each call uses its own writer and progress callback, and calls them on the
// calling thread only: each block's output in input order, then one flush.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/decode/serial_index.hpp"
#include "morvane/decoder/serial.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

namespace detail {

// What the scanning road holds before it walks: the marker list and, when
// there is work for several threads, the pool; or the verdict that the input
// holds more block markers than the cap.
struct ScanningPlan {
  struct StopPool {
    void operator()(concurrency::ThreadPool* pool) const;
  };
  MarkerList markers;
  std::unique_ptr<concurrency::ThreadPool, StopPool> pool;
  bool over_cap = false;
};

// The scanning road up to the walk, for `threads` already resolved: the
// header check (before any thread is started), the pool (only as many threads
// as there are scan chunks or block markers, none for fewer than two), the
// scan and the marker list. An input without a marker right after its first
// header fails here, as the walk would, without being scanned.
Result<ScanningPlan> plan_scanning_road(std::span<const std::uint8_t> data, std::uint64_t threads);

template <Walk kWalk, Writer W, Progress P>
WalkResult<kWalk> scanning_road(std::span<const std::uint8_t> data, W& writer, std::uint64_t memory_limit,
                                std::uint64_t threads, P& progress) {
  auto plan = plan_scanning_road(data, threads);
  if (!plan) return fail(std::move(plan.error()));
  if (plan->over_cap) {
    if constexpr (kWalk == Walk::kIndex) {
      return decode_serial_indexed(data, writer, progress);
    } else {
      return decoder::decode_serial_with_progress(data, writer, progress);
    }
  }
  if (!plan->pool) return assemble<kWalk>(data, writer, plan->markers, SerialCandidates(data, plan->markers), progress);
  return parallel_road<kWalk>(data, writer, plan->markers, *plan->pool, memory_limit, progress);
}

}  // namespace detail

// The scanning road at every thread count: writes every block to `writer` and
// returns the block index of the input (hashing the whole input with BLAKE3).
template <Writer W, Progress P>
Result<index::Index> decode_to_writer_impl(std::span<const std::uint8_t> data, W& writer, DecodeOptions options,
                                           P&& progress) {
  if (auto checked = check_options(options); !checked) return fail(std::move(checked.error()));
  return detail::scanning_road<Walk::kIndex>(data, writer, options.memory_limit, options.resolved_threads(),
                                             progress);
}

// Decompresses the whole input into `writer`. The scanning road's index would
// be dropped, so it is not built. `progress` gets (bytes consumed up to the
// block's end, decoded bytes so far) after each block and (input length,
// total) after the final flush.
template <Writer W, Progress P>
Result<void> decompress_to_writer_with_progress(std::span<const std::uint8_t> data, W& writer,
                                                DecodeOptions options, P&& progress) {
  if (auto checked = check_options(options); !checked) return checked;
  const std::uint64_t threads = options.resolved_threads();
  if (threads == 1) return decoder::decode_serial_with_progress(data, writer, progress);
  return detail::scanning_road<Walk::kDecodeOnly>(data, writer, options.memory_limit, threads, progress);
}

template <Writer W>
Result<void> decompress_to_writer(std::span<const std::uint8_t> data, W& writer, DecodeOptions options) {
  return decompress_to_writer_with_progress(data, writer, options, NoProgress{});
}

// The block index alone: the scanning road with a discarding writer, at every
// thread count (one thread walks without a pool, never the serial decoder).
Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options);

}  // namespace morvane::decode
