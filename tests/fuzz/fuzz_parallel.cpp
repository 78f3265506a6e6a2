// The parallel roads in earnest, on built streams and raw bytes, with 2 to 8
// threads (or 0: as many as the process may run) and memory limits from the
// smallest to several blocks, chosen by the input:
// - the decode-only road of a decompression (what the program and the module
//   use), its writer and progress contract checked call by call, against the
//   serial road and libbz2, byte for byte;
// - the index built on the pool against the walk without one;
// - the same decode-only road with the decode steps watched: the queue's
//   budget checked at every write, waiting grants, adopted buffers and the
//   free list counted, and now and then a fault thrown from one step;
// - a writer that refuses one block: the decode stops there with its error.
// All roads succeed or fail together (the serial road alone takes the empty
// input), with the same error on the scanning roads.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "parallel_watch.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;
using morvane::fuzz::Fingerprint;

namespace {

std::uint64_t pick_limit(std::uint8_t kind, std::uint8_t amount) {
  switch (kind % 4) {
    case 0: return MAX_BLOCK_OUTPUT;
    case 1: return MAX_BLOCK_OUTPUT + std::uint64_t{amount} * 4096;
    case 2: return MAX_BLOCK_OUTPUT + ((std::uint64_t{amount} % 64) << 20);
    default: return MAX_BLOCK_OUTPUT * (2 + amount % 4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_parallel");
  const test::FuzzStream stream = test::fuzz_stream({data, size});
  const std::span<const std::uint8_t> input = stream.input;
  fuzz::Knobs knobs({data, size});
  const std::uint64_t pick = knobs.byte() % 8;
  const std::uint8_t limit_kind = knobs.byte();
  const decode::DecodeOptions options{pick == 7 ? 0 : 2 + pick, pick_limit(limit_kind, knobs.byte())};

  Fingerprint serial_out;
  fuzz::FingerprintWriter serial_writer{serial_out};
  auto serial = decode::decompress_to_writer(input, serial_writer, {1, MAX_BLOCK_OUTPUT});
  ContractWriter writer(input.size());
  auto road = decode::decompress_to_writer_with_progress(input, writer, options, writer.callback());
  writer.check_end(road.has_value());
  auto pooled = decode::build_index(input, options);
  auto walked = decode::build_index(input, {1, MAX_BLOCK_OUTPUT});
  reach.input(road);
  reach.built(stream);
  if (options.threads == 0) reach.add("threads 0");
  if (stream.valid()) FUZZ_CHECK(road && writer.output() == fuzz::fingerprint_of(stream.decoded));

  FUZZ_CHECK(road.has_value() == walked.has_value() && pooled.has_value() == walked.has_value());
  FUZZ_CHECK(serial.has_value() == (walked.has_value() || input.empty()));
  if (!walked) {
    FUZZ_CHECK(road.error() == walked.error() && pooled.error() == walked.error());
  } else {
    FUZZ_CHECK(*pooled == *walked);
    FUZZ_CHECK(writer.output() == serial_out);
    const auto oracle = fuzz::libbz2_decode(input);
    FUZZ_CHECK(oracle && *oracle == serial_out);
    writer.check_progress(*walked);
  }

  fuzz::watched_parallel_road(input, options.resolved_threads(), options.memory_limit, walked ? &*walked : nullptr,
                              serial_out, knobs.byte(), reach);

  if (road && !writer.sizes().empty()) {
    fuzz::check_refusal(input.size(), writer, knobs.byte() % writer.sizes().size(), [&](ContractWriter& refusing) {
      return decode::decompress_to_writer_with_progress(input, refusing, options, refusing.callback());
    });
    reach.add("refused writes");
  }
  return 0;
}
