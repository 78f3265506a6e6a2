// The scanning road on built streams and raw bytes, at 1 to 8 threads and
// memory limits from the smallest to several blocks (chosen by the input):
// the walk that builds the index and the decode-only walk of a
// decompression, their writer and progress contracts checked call by call,
// against decode::build_index on one thread (the walk without a pool). All
// succeed or all fail with the same error; on success the indexes are equal
// and valid, describe exactly the writes, and every progress call lands on a
// block's end.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_scanning");
  const test::FuzzStream stream = test::fuzz_stream({data, size});
  const std::span<const std::uint8_t> input = stream.input;
  fuzz::Knobs knobs({data, size});
  const std::uint64_t threads = 1 + knobs.byte() % 8;
  const std::uint64_t blocks = 1 + knobs.byte() % 3;
  const std::uint64_t limit = MAX_BLOCK_OUTPUT * blocks + (std::uint64_t{knobs.byte()} << 12);

  ContractWriter walk_writer(input.size()), decode_writer(input.size());
  auto walked = decode::decode_to_writer_impl(input, walk_writer, {threads, limit}, walk_writer.callback());
  walk_writer.check_end(walked.has_value());
  // One thread would take the serial road: the decode-only walk needs two.
  auto decoded = decode::decompress_to_writer_with_progress(input, decode_writer, {1 + threads, limit},
                                                            decode_writer.callback());
  decode_writer.check_end(decoded.has_value());
  auto built = decode::build_index(input, {1, MAX_BLOCK_OUTPUT});
  reach.input(walked);
  reach.built(stream);
  if (stream.valid()) FUZZ_CHECK(walked && walk_writer.output() == fuzz::fingerprint_of(stream.decoded));

  FUZZ_CHECK(walked.has_value() == built.has_value() && decoded.has_value() == built.has_value());
  if (!built) {
    FUZZ_CHECK(walked.error() == built.error() && decoded.error() == built.error());
    return 0;
  }
  FUZZ_CHECK(*walked == *built && built->validate().has_value());
  FUZZ_CHECK(built->source_bytes == input.size() && built->decoded_bytes == walk_writer.output().length());
  FUZZ_CHECK(walk_writer.output() == decode_writer.output() && walk_writer.sizes() == decode_writer.sizes());
  FUZZ_CHECK(built->blocks.size() == walk_writer.sizes().size());
  for (std::size_t i = 0; i < built->blocks.size(); ++i) {
    FUZZ_CHECK(built->blocks[i].decoded_bytes == walk_writer.sizes()[i]);
  }
  walk_writer.check_progress(*built);
  decode_writer.check_progress(*built);
  return 0;
}
