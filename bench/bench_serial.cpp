// Serial decode of one bzip2 file into a writer that drops the bytes; prints
// the best wall time of the given number of runs and the decoded size.
//   bench_serial FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "morvane/decoder/serial.hpp"
#include "counting_writer.hpp"
#include "morvane/source.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 1;
  auto source = morvane::Source::open(argv[1]);
  if (!source) {
    std::fprintf(stderr, "bench_serial: %s\n", source.error().display().c_str());
    return 1;
  }
  double best = 0;
  std::uint64_t decoded = 0;
  for (int run = 0; run < runs; ++run) {
    CountingWriter writer;
    const auto start = std::chrono::steady_clock::now();
    auto result = morvane::decoder::decode_serial(source->bytes(), writer);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result) {
      std::fprintf(stderr, "bench_serial: %s\n", result.error().display().c_str());
      return 3;
    }
    decoded = writer.bytes;
    if (run == 0 || seconds < best) best = seconds;
  }
  std::printf("%.3f %llu\n", best, static_cast<unsigned long long>(decoded));
  return 0;
}
