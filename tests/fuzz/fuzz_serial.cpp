// The serial road on arbitrary bytes, with the writer and progress contract
// checked call by call. An input that decodes is decoded again with a writer
// that refuses one of its blocks: the decode must stop there with that error,
// after exactly the blocks before it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "morvane/decoder/serial.hpp"

using namespace morvane;
using morvane::fuzz::ContractWriter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  ContractWriter writer(size);
  auto decoded = decoder::decode_serial_with_progress(input, writer, writer.callback());
  writer.check_end(decoded.has_value());
  if (!decoded) {
    const auto* failure = decoded.error().get_if<Error::Decode>();
    FUZZ_CHECK(failure != nullptr && failure->bit_offset <= 8 * std::uint64_t{size});
    return 0;
  }

  const std::size_t blocks = writer.sizes().size();
  if (blocks == 0) return 0;
  const std::size_t refuse_at = writer.output().digest()[0] % blocks;
  ContractWriter refusing(size, refuse_at);
  auto stopped = decoder::decode_serial_with_progress(input, refusing, refusing.callback());
  refusing.check_end(false);
  FUZZ_CHECK(!stopped && stopped.error().get_if<Error::Io>() != nullptr && refusing.refused());
  FUZZ_CHECK(refusing.sizes().size() == refuse_at);
  for (std::size_t i = 0; i < refuse_at; ++i) FUZZ_CHECK(refusing.sizes()[i] == writer.sizes()[i]);
  return 0;
}
