// Block-scan throughput: the full scan on one thread over the whole input,
// then the engine's chunked magic scan on a pool, and the speed-up between them.
//   bench_scan FILE [THREADS=8] [ROUNDS=5]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/source.hpp"

using namespace morvane;

namespace {

// The best of `rounds` runs, in seconds; the best run is the one least
// disturbed by the rest of the machine.
template <class F>
double best_seconds(int rounds, F&& run) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [THREADS=8] [ROUNDS=5]\n", argv[0]);
    return 2;
  }
  const std::uint64_t threads = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  auto source = Source::open(argv[1]);
  if (!source) {
    std::fprintf(stderr, "%s: %s\n", argv[1], source.error().display().c_str());
    return 1;
  }
  const auto data = source->bytes();
  const double megabytes = static_cast<double>(data.size()) / 1e6;

  format::ScanResult single;
  const double one = best_seconds(rounds, [&] { single = format::scan_range(data, 0, data.size()); });
  std::printf("input           %.1f MB: %zu stream, %zu block, %zu end candidates\n", megabytes, single.streams.size(),
              single.blocks.size(), single.ends.size());
  std::printf("scan 1 thread   %.0f MB/s\n", megabytes / one);

  auto pool = concurrency::thread_pool(threads);
  if (!pool || !*pool) {
    std::fprintf(stderr, "no pool of %llu threads\n", static_cast<unsigned long long>(threads));
    return 1;
  }
  // The engine's scan keeps block and end magics only, per chunk.
  const std::uint64_t magics = single.blocks.size() + single.ends.size();
  bool same = true;
  const double many = best_seconds(rounds, [&] {
    auto pooled = format::scan_magics(data, pool->get(), UINT64_MAX);
    std::uint64_t found = 0;
    if (pooled) {
      for (const auto& chunk : pooled->chunks) found += chunk.size();
    }
    same = same && pooled && found == magics;
  });
  std::printf("scan %llu threads %.0f MB/s, speed-up %.2fx%s\n", static_cast<unsigned long long>(threads),
              megabytes / many, one / many, same ? "" : " (RESULTS DIFFER)");
  return same ? 0 : 1;
}
