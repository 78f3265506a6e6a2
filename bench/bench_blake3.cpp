// BLAKE3 throughput of the index's hash on one thread, to see which SIMD
// kernel the library picked at run time (several GB/s means AVX2 or AVX-512).
//   bench_blake3 [MEGABYTES=1024]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "morvane/index/index.hpp"

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  std::vector<std::uint8_t> data(megabytes * 1000000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);

  double best = 1e300;
  std::uint8_t first = 0;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const auto hash = morvane::index::blake3_hash(data);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    first = hash[0];
    if (took.count() < best) best = took.count();
  }
  std::printf("blake3 1 thread  %.2f GB/s over %zu MB (hash starts %02x)\n", static_cast<double>(data.size()) / 1e9 / best,
              megabytes, first);
  return 0;
}
