// Latency of random 4 KiB reads through a block index: on a cache miss, on a
// cache hit, and the time to decode one block on its own, as median and 99th
// percentile in microseconds.
//
//   bench_reader [input.bz2 (default build-corpus/corpus.tar.bz2, made by bench/corpus)] [samples (default 200)]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/indexed/block_decode.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

using namespace morvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReadBytes = 4096;
constexpr std::size_t kHitSamples = 20000;
constexpr std::size_t kHitBlocks = 32;                // blocks kept warm for the hit runs
constexpr std::size_t kHitBudget = std::size_t{64} << 20;  // the Python layer's default budget

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  double median;
  double p99;
};

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
  return {at(0.5), at(0.99)};
}

void print(const char* what, const Summary& s, std::size_t n) {
  std::printf("%-28s median %10.1f us   p99 %10.1f us   (%zu samples)\n", what, s.median, s.p99, n);
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "bench_reader: %s\n", message.c_str());
  std::exit(1);
}

// One timed random 4 KiB read at an offset drawn from [lo, hi - 4096].
double timed_read(indexed::IndexedReader& reader, std::mt19937_64& rng, std::uint64_t lo, std::uint64_t hi,
                  std::vector<std::uint8_t>& buf) {
  const std::uint64_t offset = lo + rng() % (hi - lo - kReadBytes + 1);
  const auto t0 = Clock::now();
  if (!reader.seek_start(offset)) die("seek failed");
  auto n = reader.read(buf);
  const auto t1 = Clock::now();
  if (!n || *n != kReadBytes) die(n ? "short read" : n.error().display());
  return micros(t1 - t0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "build-corpus/corpus.tar.bz2";
  const std::size_t samples = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
  auto source = Source::open(path);
  if (!source) die(path + ": " + source.error().display());

  const decode::DecodeOptions options{0, 8 * MAX_BLOCK_OUTPUT};
  const auto b0 = Clock::now();
  auto built = decode::build_index(source->bytes(), options);
  const auto b1 = Clock::now();
  if (!built) die(built.error().display());
  const index::Index& index = *built;
  if (index.blocks.size() < kHitBlocks || index.decoded_bytes < kReadBytes) die("input too small");
  std::printf("%s: %zu bytes, %llu decoded, %zu streams, %zu blocks; index built in %.2f s\n", path.c_str(),
              source->size(), static_cast<unsigned long long>(index.decoded_bytes), index.streams.size(),
              index.blocks.size(), std::chrono::duration<double>(b1 - b0).count());

  std::mt19937_64 rng(42);
  std::vector<std::uint8_t> buf(kReadBytes);

  // One block decoded on its own, checked against its record.
  std::vector<double> decode_times;
  for (std::size_t i = 0; i < samples; ++i) {
    const std::size_t k = rng() % index.blocks.size();
    const auto t0 = Clock::now();
    auto block = indexed::decode_indexed_block(source->bytes(), index, k);
    const auto t1 = Clock::now();
    if (!block) die(block.error().display());
    decode_times.push_back(micros(t1 - t0));
  }

  // Misses: without a cache every read decodes the block (or two) it touches.
  auto cold = indexed::IndexedReader::from_source(*source, index, options, 0);
  if (!cold) die(cold.error().display());
  std::vector<double> miss_times;
  for (std::size_t i = 0; i < samples; ++i) miss_times.push_back(timed_read(*cold, rng, 0, index.decoded_bytes, buf));

  // Hits: reads spread over a run of blocks already in the cache.
  auto warm = indexed::IndexedReader::from_source(*source, index, options, kHitBudget);
  if (!warm) die(warm.error().display());
  const std::size_t first = rng() % (index.blocks.size() - kHitBlocks + 1);
  std::size_t last = first;
  std::uint64_t warm_bytes = 0;
  while (last < first + kHitBlocks && warm_bytes + index.blocks[last].decoded_bytes <= kHitBudget) {
    warm_bytes += index.blocks[last++].decoded_bytes;
  }
  const std::uint64_t lo = index.blocks[first].decoded_start;
  const std::uint64_t hi = lo + warm_bytes;
  std::vector<std::uint8_t> whole(warm_bytes);
  if (!warm->seek_start(lo) || warm->read(whole).value_or(0) != warm_bytes) die("warming the cache failed");
  const std::uint64_t warm_decodes = warm->decoded_blocks();
  std::vector<double> hit_times;
  for (std::size_t i = 0; i < kHitSamples; ++i) hit_times.push_back(timed_read(*warm, rng, lo, hi, buf));
  if (warm->decoded_blocks() != warm_decodes) die("a hit run decoded a block");

  const Summary decode = summarize(decode_times);
  const Summary miss = summarize(miss_times);
  const Summary hit = summarize(hit_times);
  print("decode one block", decode, samples);
  print("4 KiB read, cache miss", miss, samples);
  char label[64];
  std::snprintf(label, sizeof label, "4 KiB read, hit (%zu blocks)", last - first);
  print(label, hit, kHitSamples);
  std::printf("miss / block decode (median): %.2f\n", miss.median / decode.median);
  return 0;
}
