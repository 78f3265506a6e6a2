#include "morvane/decode/engine.hpp"

#include <algorithm>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/format/parallel_scan.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::decode {
namespace detail {

void ScanningPlan::StopPool::operator()(concurrency::ThreadPool* pool) const { delete pool; }

Result<ScanningPlan> plan_scanning_road(std::span<const std::uint8_t> data, std::uint64_t threads) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  ScanningPlan plan;
  // Threads only for the work there is; the calling thread does the rest,
  // with the same result.
  const auto start_pool = [&](std::uint64_t work) -> Result<void> {
    const std::uint64_t wanted = std::min(threads, work);
    if (wanted < 2) return {};
    if (!plan.pool) {
      auto started = concurrency::thread_pool(wanted);
      if (!started) return fail(std::move(started.error()));
      plan.pool.reset(started->release());
      return {};
    }
    return plan.pool->grow_to(static_cast<std::size_t>(wanted));
  };
  if (auto started = start_pool(format::scan_chunks(data.size())); !started) return fail(std::move(started.error()));
  auto scan = format::scan_with_pool(data, plan.pool.get());
  if (!scan) return fail(std::move(scan.error()));
  auto markers = collect_markers(std::move(*scan), data.size());
  if (!markers) return fail(std::move(markers.error()));
  plan.markers = std::move(*markers);
  if (auto started = start_pool(block_marker_count(plan.markers)); !started) return fail(std::move(started.error()));
  return plan;
}

}  // namespace detail

Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options) {
  DiscardWriter discard;
  return decode_to_writer_impl(data, discard, options, NoProgress{});
}

}  // namespace morvane::decode
