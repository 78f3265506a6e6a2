// Whole-input decompression through the engine's entry point into a writer
// that drops the bytes, at each given thread count. Each thread count runs in
// a child process of its own so that its peak resident size is its own.
// Prints one line per thread count: threads, best wall seconds of the runs,
// peak resident KiB, decoded bytes.
//   bench_decode FILE [RUNS] [THREADS...]      (threads default: 1 8)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "morvane/decode/engine.hpp"
#include "counting_writer.hpp"
#include "morvane/source.hpp"

namespace {

struct Figures {
  double seconds;
  std::uint64_t decoded;
};

int measure(const char* path, int runs, std::uint64_t threads, int out_fd) {
  auto source = morvane::Source::open(path);
  if (!source) {
    std::fprintf(stderr, "bench_decode: %s\n", source.error().display().c_str());
    return 1;
  }
  Figures best{0, 0};
  for (int run = 0; run < runs; ++run) {
    CountingWriter writer;
    const auto start = std::chrono::steady_clock::now();
    auto result = morvane::decode::decompress_to_writer(source->bytes(), writer, {threads, morvane::decode::kDefaultMemoryLimit});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result) {
      std::fprintf(stderr, "bench_decode: %s\n", result.error().display().c_str());
      return 3;
    }
    if (run == 0 || seconds < best.seconds) best = {seconds, writer.bytes};
  }
  return write(out_fd, &best, sizeof best) == sizeof best ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS] [THREADS...]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 1;
  std::vector<std::uint64_t> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(std::strtoull(argv[i], nullptr, 10));
  if (counts.empty()) counts = {1, 8};

  for (std::uint64_t threads : counts) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
      close(fds[0]);
      _exit(measure(argv[1], runs, threads, fds[1]));
    }
    close(fds[1]);
    Figures figures{};
    const bool got = read(fds[0], &figures, sizeof figures) == sizeof figures;
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    std::printf("%llu %.3f %ld %llu\n", static_cast<unsigned long long>(threads), figures.seconds, usage.ru_maxrss,
                static_cast<unsigned long long>(figures.decoded));
    std::fflush(stdout);
  }
  return 0;
}
