#include "morvane/decode/engine.hpp"

#include <algorithm>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::decode {
namespace detail {

void ScanningPlan::StopPool::operator()(concurrency::ThreadPool* pool) const { delete pool; }

namespace {

// Whether the scan would record a magic right after the first stream header:
// the walk's first link.
bool first_link_present(std::span<const std::uint8_t> data) {
  decoder::Bits bits(data, kStreamHeaderBits);
  const std::uint64_t left = bits.remaining();
  if (left < kMagicBits) return false;
  const std::uint64_t magic = bits.window() >> (64 - kMagicBits);
  return (magic == kBlockMagic && left >= kBlockHeaderBits) || (magic == kEndMagic && left >= kEndRecordBits);
}

}  // namespace

Result<ScanningPlan> plan_scanning_road(std::span<const std::uint8_t> data, std::uint64_t threads) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  if (!first_link_present(data)) return fail(Error::decode(kStreamHeaderBits, DecodeError::InvalidMagic));
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
  auto scan = format::scan_magics(data, plan.pool.get(), marker_cap(data.size()));
  if (!scan) return fail(std::move(scan.error()));
  if (scan->over_cap) {
    plan.pool.reset();
    plan.over_cap = true;
    return plan;
  }
  plan.markers = MarkerList(data, std::move(scan->chunks));
  if (auto started = start_pool(plan.markers.block_count()); !started) return fail(std::move(started.error()));
  return plan;
}

}  // namespace detail

Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options) {
  DiscardWriter discard;
  return decode_to_writer_impl(data, discard, options, NoProgress{});
}

}  // namespace morvane::decode
