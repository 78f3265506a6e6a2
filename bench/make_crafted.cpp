// Writes the crafted input of the benchmarks to standard output: a valid file
// of small real blocks, each hiding in its selector list a chain of forged
// blocks worth 46.6 MB each, which every other decoder accepts.
//   make_crafted [real blocks (100)] [forged per block (8)]
#include <cstdio>
#include <cstdlib>

#include "support/crafted.hpp"

int main(int argc, char** argv) {
  const std::size_t blocks = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const std::size_t forged = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 8;
  const auto crafted = morvane::test::forged_chains(blocks, forged);
  return std::fwrite(crafted.compressed.data(), 1, crafted.compressed.size(), stdout) == crafted.compressed.size()
             ? 0
             : 1;
}
