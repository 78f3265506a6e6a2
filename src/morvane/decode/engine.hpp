// The decode engine's entry points. A decompression on one thread runs the
// serial stream decoder (no scan, no markers, no index); everything else takes
// the scanning road: pool, scan, marker list and ordered walk, with the blocks
// decoded on the calling thread (one thread) or speculatively on the pool.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/decoder/serial.hpp"
#include "morvane/error.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/index/index.hpp"
#include "morvane/stream_header.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

namespace detail {

// The scanning road with `threads` already resolved (and the options checked).
// Threads are started only for work there is: the scan runs on the pool only
// for inputs of several chunks, and the decode only when there are at least
// two block markers; otherwise the calling thread does it, with the same
// result. The header is checked before any thread is started.
template <Walk kWalk, Writer W, Progress P>
WalkResult<kWalk> scanning_road(std::span<const std::uint8_t> data, W& writer, std::uint64_t memory_limit,
                                std::uint64_t threads, P& progress) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  std::unique_ptr<concurrency::ThreadPool> pool;
  const auto start_pool = [&](std::uint64_t work) -> Result<void> {
    const std::uint64_t wanted = std::min(threads, work);
    if (wanted < 2) return {};
    if (!pool) {
      auto started = concurrency::thread_pool(wanted);
      if (!started) return fail(std::move(started.error()));
      pool = std::move(*started);
      return {};
    }
    return pool->grow_to(static_cast<std::size_t>(wanted));
  };
  if (auto started = start_pool(format::scan_chunks(data.size())); !started) return fail(std::move(started.error()));
  auto scan = format::scan_with_pool(data, pool.get());
  if (!scan) return fail(std::move(scan.error()));
  auto markers = collect_markers(std::move(*scan), data.size());
  if (!markers) return fail(std::move(markers.error()));
  if (auto started = start_pool(block_marker_count(*markers)); !started) return fail(std::move(started.error()));
  if (!pool) return assemble<kWalk>(data, writer, *markers, SerialCandidates(data, *markers), progress);
  return parallel_road<kWalk>(data, writer, *markers, *pool, memory_limit, progress);
}

}  // namespace detail

// The scanning road: writes every block to `writer` and returns the block
// index of the input (hashing the whole input with BLAKE3).
template <Writer W, Progress P>
Result<index::Index> decode_to_writer_impl(std::span<const std::uint8_t> data, W& writer, DecodeOptions options,
                                           P&& progress) {
  if (auto checked = check_options(options); !checked) return fail(std::move(checked.error()));
  return detail::scanning_road<Walk::kIndex>(data, writer, options.memory_limit, options.resolved_threads(),
                                             progress);
}

// Decompresses the whole input into `writer`. The scanning road's index would
// be dropped, so it is not built.
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
