// Inputs over 1 MiB, from the builder's large mode (one stream of a few blocks
// written over and over, valid or with one field broken), where the engine
// scans in 1 MiB chunks and the parallel road runs hundreds of blocks
// through the queue:
// - the engine's scan, chunk by chunk, on a pool and without one, against one
//   scan of the whole input;
// - on 2 to 4 threads with a limit chosen by the input, either the
//   decode-only road or the walk that builds the index, its writer and
//   progress contract checked, against libbz2 and the builder's data; the
//   index valid, one record per block written;
// - one input in four, the watched parallel road (budget, waiting grants,
//   adopted buffers, the free list).
// Every pass over a megabyte costs seconds under the sanitizers and the
// fuzzer's comparison hooks (which threads contend on), so each input takes
// one road on few threads, and the serial road, the comparison of roads and
// threads=0 are left to the targets of small inputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/scan.hpp"
#include "parallel_watch.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;

namespace {

std::vector<format::MagicKey> joined(const format::MagicScan& scan) {
  std::vector<format::MagicKey> keys;
  for (const auto& chunk : scan.chunks) keys.insert(keys.end(), chunk.begin(), chunk.end());
  return keys;
}

// The chunked scan with and without a pool equals one scan of the whole input.
void check_scan(std::span<const std::uint8_t> input, std::uint64_t threads) {
  const format::ScanResult whole = format::scan_range(input, 0, input.size());
  std::vector<format::MagicKey> keys;
  for (const auto& b : whole.blocks) keys.push_back(format::block_key(b.bit_offset));
  for (const auto& e : whole.ends) keys.push_back(format::end_key(e.bit_offset));
  std::sort(keys.begin(), keys.end());

  auto pool = concurrency::thread_pool(threads);
  FUZZ_CHECK(pool.has_value() && *pool != nullptr);
  auto pooled = format::scan_magics(input, pool->get(), UINT64_MAX);
  auto alone = format::scan_magics(input, nullptr, UINT64_MAX);
  const bool header = input.size() >= 4 && input[0] == 'B' && input[1] == 'Z' && input[2] == 'h' &&
                      input[3] >= '1' && input[3] <= '9';
  FUZZ_CHECK(pooled.has_value() == header && alone.has_value() == header);
  if (!header) return;
  FUZZ_CHECK(pooled->chunks.size() == format::scan_chunks(input.size()));
  FUZZ_CHECK(joined(*pooled) == keys && joined(*alone) == keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_large");
  const test::FuzzStream stream = test::fuzz_stream({data, size}, true);
  const std::span<const std::uint8_t> input = stream.input;
  fuzz::Knobs knobs({data, size});
  const std::uint64_t threads = 2 + knobs.byte() % 3;
  const decode::DecodeOptions options{threads, MAX_BLOCK_OUTPUT + ((std::uint64_t{knobs.byte()} % 4) << 22)};
  reach.built(stream);
  if (input.size() > format::kScanChunkBytes) reach.add("chunked inputs");
  check_scan(input, threads);

  ContractWriter writer(input.size());
  const bool indexing = knobs.byte() & 1;
  std::optional<index::Index> index;
  Result<void> road;
  if (indexing) {
    auto walked = decode::decode_to_writer_impl(input, writer, options, writer.callback());
    if (walked) {
      index = std::move(*walked);
    } else {
      road = fail(std::move(walked.error()));
    }
    reach.add("index walks");
  } else {
    road = decode::decompress_to_writer_with_progress(input, writer, options, writer.callback());
  }
  writer.check_end(road.has_value());
  reach.input(road);
  if (stream.valid()) FUZZ_CHECK(road && writer.output() == fuzz::fingerprint_of(stream.decoded));
  if (road) {
    const auto oracle = fuzz::libbz2_decode(input);
    FUZZ_CHECK(oracle && *oracle == writer.output());
  }
  if (index) {
    FUZZ_CHECK(index->validate().has_value() && index->blocks.size() == writer.sizes().size());
    writer.check_progress(*index);
    if (stream.valid()) FUZZ_CHECK(index->blocks.size() == stream.blocks);
  }
  if (const std::uint8_t watch = knobs.byte(); watch % 4 == 0) {
    // The chain, where the watched road needs it, from the index or the walk without a pool.
    if (road && !index) index = decode::build_index(input, {1, MAX_BLOCK_OUTPUT}).value();
    fuzz::watched_parallel_road(input, options.resolved_threads(), options.memory_limit, index ? &*index : nullptr,
                                writer.output(), watch >> 2, reach);
  }
  return 0;
}
