#include "morvane/decode/engine.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/decoder/serial.hpp"
#include "morvane/format/parallel_scan.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::decode {
namespace {

// The scanning road with `threads` already resolved (and the options checked).
// Threads are started only for work there is: the scan runs on the pool only
// for inputs of several chunks, and the decode only when there are at least
// two block markers; otherwise the calling thread does it, with the same
// result. The header is checked before any thread is started.
template <Walk kWalk>
WalkResult<kWalk> scanning_road(std::span<const std::uint8_t> data, WriterRef writer, std::uint64_t memory_limit,
                                std::uint64_t threads, ProgressRef progress) {
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

}  // namespace

Result<void> decompress_to_writer_with_progress(std::span<const std::uint8_t> data, WriterRef writer,
                                                DecodeOptions options, ProgressRef progress) {
  if (auto checked = check_options(options); !checked) return checked;
  const std::uint64_t threads = options.resolved_threads();
  if (threads == 1) return decoder::decode_serial_with_progress(data, writer, progress);
  return scanning_road<Walk::kDecodeOnly>(data, writer, options.memory_limit, threads, progress);
}

Result<void> decompress_to_writer(std::span<const std::uint8_t> data, WriterRef writer, DecodeOptions options) {
  return decompress_to_writer_with_progress(data, writer, options, ProgressRef());
}

Result<index::Index> decode_and_index(std::span<const std::uint8_t> data, WriterRef writer, DecodeOptions options,
                                      ProgressRef progress) {
  if (auto checked = check_options(options); !checked) return fail(std::move(checked.error()));
  return scanning_road<Walk::kIndex>(data, writer, options.memory_limit, options.resolved_threads(), progress);
}

Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options) {
  DiscardWriter discard;
  return decode_and_index(data, discard, options, ProgressRef());
}

}  // namespace morvane::decode
