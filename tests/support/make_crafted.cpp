// Writes one of the crafted benchmark inputs to standard output. Each but
// "bzh9" is a valid file that every other decoder accepts.
//   make_crafted chains [real blocks (100)] [forged per block (8)]
//       small real blocks, each hiding a chain of forged 46.6 MB blocks
//   make_crafted runs [bytes (0)] [symbols per block (900000)]
//       blocks of one byte, 46.6 MB each at 900000 symbols
//   make_crafted headers [bytes (100000000)]
//       blocks whose selector lists hold byte-aligned copies of "BZh9"
//   make_crafted bzh9 [bytes (100000000)]
//       "BZh9" repeated: invalid
//   make_crafted nested [bytes (155000000)] [symbols per block (900000)] [false headers (9)]
//       blocks that begin with false headers sharing their symbol stream
//   make_crafted over-cap
//       one block of "a" holding more block magics than the marker cap
// Sizes are bytes of compressed output; at least one block is written.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "support/crafted_inputs.hpp"
#include "support/nested_headers.hpp"

namespace {

using namespace morvane::test;

std::size_t argument(int argc, char** argv, int at, std::size_t otherwise) {
  return argc > at ? std::strtoull(argv[at], nullptr, 10) : otherwise;
}

int write(std::span<const std::uint8_t> bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0 ? 0 : 1;
}

Extent sized(std::size_t bytes) { return {.blocks = 1, .min_bytes = bytes, .keep_decoded = false}; }

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "chains") return write(forged_chains(argument(argc, argv, 2, 100), argument(argc, argv, 3, 8)).compressed);
  if (mode == "runs") {
    const auto symbols = static_cast<std::uint32_t>(argument(argc, argv, 3, 900000));
    return write(run_heavy(sized(argument(argc, argv, 2, 0)), symbols).compressed);
  }
  if (mode == "headers") return write(header_patterns(sized(argument(argc, argv, 2, 100000000))).compressed);
  if (mode == "bzh9") return write(repeated_headers(argument(argc, argv, 2, 100000000)));
  if (mode == "nested") {
    const auto symbols = static_cast<std::uint32_t>(argument(argc, argv, 3, 900000));
    return write(nested_headers(sized(argument(argc, argv, 2, 155000000)), symbols, argument(argc, argv, 4, 9))
                     .compressed);
  }
  if (mode == "over-cap") return write(over_marker_cap().compressed);
  std::fputs("usage: make_crafted chains|runs|headers|bzh9|nested|over-cap [sizes...] (see the source)\n", stderr);
  return 2;
}
