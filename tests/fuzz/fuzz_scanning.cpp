// The scanning road on arbitrary bytes: a decompression on 2 to 4 threads with
// the smallest memory limit (one block in flight at a time), its writer and
// progress contract checked call by call, against decode::build_index on one
// thread (the walk without a pool) over the same bytes. Both succeed or both
// fail with the same error; on success the index describes exactly the writes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::uint64_t threads = 2 + size % 3;
  ContractWriter writer(size);
  auto road = decode::decompress_to_writer_with_progress(input, writer, {threads, MAX_BLOCK_OUTPUT},
                                                         writer.callback());
  writer.check_end(road.has_value());
  auto built = decode::build_index(input, {1, MAX_BLOCK_OUTPUT});

  FUZZ_CHECK(road.has_value() == built.has_value());
  if (!road) {
    FUZZ_CHECK(road.error() == built.error());
    return 0;
  }
  FUZZ_CHECK(built->validate().has_value());
  FUZZ_CHECK(built->source_bytes == size && built->decoded_bytes == writer.output().length());
  FUZZ_CHECK(built->blocks.size() == writer.sizes().size());
  for (std::size_t i = 0; i < built->blocks.size(); ++i) {
    FUZZ_CHECK(built->blocks[i].decoded_bytes == writer.sizes()[i]);
  }
  return 0;
}
