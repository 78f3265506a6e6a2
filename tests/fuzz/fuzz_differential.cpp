// Both roads against each other and against libbz2, which is linked in as an
// oracle, on built streams and raw bytes. When either road succeeds, both
// succeed with the same bytes, and libbz2 decodes the whole input to those
// bytes too; a valid built stream decodes to its data. When both refuse an
// input that libbz2 decodes whole, each refusal must be one made by design,
// and seen to be so from the input itself: a block whose randomised bit is
// set, or a coding table whose code lengths over-subscribe the code space
// (found by a parser of the fuzz support, not by the library), ending where
// the refusal points. The empty input is refused by the scanning road alone.
// (Trailing data after the last stream is refused as well; libbz2 stops
// before it, so the oracle counts such an input as not decoded whole.) On
// success the scanning road's progress lands on each block's end, the index
// survives to_bytes/from_bytes unchanged and the reader reads all the output
// back through it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;
using morvane::fuzz::Fingerprint;
using morvane::fuzz::FingerprintWriter;

namespace {

bool empty_on_scanning_road(std::span<const std::uint8_t> input, const Error& error) {
  return input.empty() && error.tag() == Error::Tag::InvalidStreamHeader;
}

// A refusal of an input that libbz2 decodes, made by design and shown so by
// the input's own bits.
bool refused_by_design(std::span<const std::uint8_t> input, const Error& error) {
  const auto* failure = error.get_if<Error::Decode>();
  if (failure == nullptr) return false;
  switch (failure->source) {
    case DecodeError::RandomizedBlock: return test::randomised_block_at(input, failure->bit_offset);
    case DecodeError::InvalidHuffman: return test::over_subscribed_table_ends_at(input, failure->bit_offset);
    default: return false;
  }
}

void check_reader(std::span<const std::uint8_t> input, const index::Index& index, const Fingerprint& expected) {
  const auto image = index.to_bytes();
  auto back = index::Index::from_bytes(image, input);
  FUZZ_CHECK(back.has_value() && *back == index && back->to_bytes() == image);

  auto reader = indexed::IndexedReader::from_source(Source::from_vector({input.begin(), input.end()}), *back,
                                                    {1, MAX_BLOCK_OUTPUT}, MAX_BLOCK_OUTPUT);
  FUZZ_CHECK(reader.has_value());
  Fingerprint read_back;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    auto got = reader->read(buffer);
    FUZZ_CHECK(got.has_value());
    if (*got == 0) break;
    read_back.add(std::span(buffer).first(*got));
  }
  FUZZ_CHECK(read_back == expected && reader->position() == index.decoded_bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_differential");
  const test::FuzzStream stream = test::fuzz_stream({data, size});
  const std::span<const std::uint8_t> input = stream.input;
  fuzz::Knobs knobs({data, size});
  const std::uint64_t threads = 1 + knobs.byte() % 4;

  Fingerprint serial_out;
  FingerprintWriter serial_writer{serial_out};
  ContractWriter scanning_writer(input.size());
  auto serial = decode::decompress_to_writer(input, serial_writer, {1, MAX_BLOCK_OUTPUT});
  auto scanning = decode::decode_to_writer_impl(input, scanning_writer, {threads, MAX_BLOCK_OUTPUT},
                                                scanning_writer.callback());
  scanning_writer.check_end(scanning.has_value());
  const auto oracle = fuzz::libbz2_decode(input);
  reach.input(serial);
  reach.built(stream);
  if (stream.valid()) FUZZ_CHECK(serial && serial_out == fuzz::fingerprint_of(stream.decoded));

  if (serial && !scanning) {
    FUZZ_CHECK(empty_on_scanning_road(input, scanning.error()));
    FUZZ_CHECK(oracle && *oracle == serial_out);
    return 0;
  }
  if (serial || scanning) {
    FUZZ_CHECK(serial && scanning);
    FUZZ_CHECK(serial_out == scanning_writer.output());
    FUZZ_CHECK(oracle && *oracle == serial_out);
    scanning_writer.check_progress(*scanning);
    check_reader(input, *scanning, serial_out);
    return 0;
  }
  if (oracle) {
    reach.add("refused by design");
    FUZZ_CHECK(refused_by_design(input, serial.error()));
    FUZZ_CHECK(refused_by_design(input, scanning.error()));
  }
  return 0;
}
