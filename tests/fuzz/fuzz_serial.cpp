// The serial road on built streams (valid or with one field broken) and on
// raw bytes, with the writer and progress contract checked call by call. A
// valid built stream decodes to its data. On success every progress call
// lands on a block's end as the scanning road's index has it, and the input
// is decoded again with a writer that refuses one of its blocks: the decode
// must stop there with that error, after exactly the blocks before it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/decoder/serial.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_serial");
  const test::FuzzStream stream = test::fuzz_stream({data, size});
  const std::span<const std::uint8_t> input = stream.input;
  ContractWriter writer(input.size());
  auto decoded = decoder::decode_serial_with_progress(input, writer, writer.callback());
  writer.check_end(decoded.has_value());
  reach.input(decoded);
  reach.built(stream);
  if (stream.valid()) FUZZ_CHECK(decoded && writer.output() == fuzz::fingerprint_of(stream.decoded));
  if (!decoded) {
    const auto* failure = decoded.error().get_if<Error::Decode>();
    FUZZ_CHECK(failure != nullptr && failure->bit_offset <= 8 * std::uint64_t{input.size()});
    return 0;
  }

  // The scanning road refuses only the empty input that this road accepts.
  auto index = decode::build_index(input, {1, MAX_BLOCK_OUTPUT});
  FUZZ_CHECK(index.has_value() == !input.empty());
  if (index) writer.check_progress(*index);

  const std::size_t blocks = writer.sizes().size();
  if (blocks == 0) return 0;
  reach.add("refused writes");
  fuzz::check_refusal(input.size(), writer, writer.output().digest()[0] % blocks, [&](ContractWriter& refusing) {
    return decoder::decode_serial_with_progress(input, refusing, refusing.callback());
  });
  return 0;
}
