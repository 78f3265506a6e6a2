// Both roads against each other and against libbz2, which is linked into this
// target only, as an oracle. When either road succeeds, both succeed with the
// same bytes, and libbz2 decodes the whole input to those bytes too. When both
// refuse an input that libbz2 decodes whole, the refusal must be one of those
// made by design: a randomised block, an over-subscribed Huffman table (the
// serial road reports both), or, on the scanning road alone, the empty input.
// (Trailing data
// after the last stream is refused as well; libbz2 stops before it, so the
// oracle counts such an input as not decoded whole.) On success the index
// survives to_bytes/from_bytes unchanged and the reader reads all the output
// back through it.
#include <bzlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

using namespace morvane;
using morvane::fuzz::Fingerprint;
using morvane::fuzz::FingerprintWriter;

namespace {

// libbz2's output for the whole input, decoded stream after stream; nothing
// when a stream fails or bytes that begin no stream follow the last one.
std::optional<Fingerprint> libbz2_decode(std::span<const std::uint8_t> input) {
  Fingerprint out;
  std::vector<char> buffer(1 << 16);
  std::size_t at = 0;
  while (at < input.size()) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return std::nullopt;
    // libbz2 takes at most 4 GiB at a time; fuzz inputs are far smaller.
    stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(input.data() + at));
    stream.avail_in = static_cast<unsigned>(input.size() - at);
    int status = BZ_OK;
    do {
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<unsigned>(buffer.size());
      status = BZ2_bzDecompress(&stream);
      const std::size_t produced = buffer.size() - stream.avail_out;
      out.add({reinterpret_cast<const std::uint8_t*>(buffer.data()), produced});
      // Out of input with room left for output: the stream is cut short.
      if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out != 0) status = BZ_UNEXPECTED_EOF;
    } while (status == BZ_OK);
    const std::size_t consumed = (input.size() - at) - stream.avail_in;
    BZ2_bzDecompressEnd(&stream);
    if (status != BZ_STREAM_END) return std::nullopt;
    at += consumed;
  }
  return out;
}

bool empty_on_scanning_road(std::span<const std::uint8_t> input, const Error& error) {
  return input.empty() && error.tag() == Error::Tag::InvalidStreamHeader;
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
  const std::span<const std::uint8_t> input(data, size);
  Fingerprint serial_out, scanning_out;
  FingerprintWriter serial_writer{serial_out}, scanning_writer{scanning_out};
  auto serial = decode::decompress_to_writer(input, serial_writer, {1, MAX_BLOCK_OUTPUT});
  auto scanning = decode::decode_to_writer_impl(input, scanning_writer, {2, MAX_BLOCK_OUTPUT}, NoProgress{});
  const auto oracle = libbz2_decode(input);

  if (serial && !scanning) {
    FUZZ_CHECK(empty_on_scanning_road(input, scanning.error()));
    FUZZ_CHECK(oracle && *oracle == serial_out);
    return 0;
  }
  if (serial || scanning) {
    FUZZ_CHECK(serial && scanning);
    FUZZ_CHECK(serial_out == scanning_out);
    FUZZ_CHECK(oracle && *oracle == serial_out);
    check_reader(input, *scanning, serial_out);
    return 0;
  }
  if (oracle) {
    const auto* failure = serial.error().get_if<Error::Decode>();
    FUZZ_CHECK(failure != nullptr);
    FUZZ_CHECK(failure->source == DecodeError::RandomizedBlock || failure->source == DecodeError::InvalidHuffman);
  }
  return 0;
}
