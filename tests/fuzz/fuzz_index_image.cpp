// The index image parser and Index::validate against an acceptor of their own
// (image_oracle.hpp): the same images accepted, as the same index, and the
// same reason for every refusal.
//
// The first byte of a fuzz input chooses how the rest makes an image:
// - below 0x80, the rest is the image itself, checked against as many zero
//   bytes as it declares (up to 64 KiB; none above). Flag 1 writes the right
//   BLAKE3 trailer and flag 2 the source's hash into it before it is parsed,
//   so that the fuzzer reaches the checks behind them;
// - from 0x80, the rest describes streams and blocks laid out as a real input
//   would have them, then at most one edit (index_edits.hpp); the image is
//   written from those records. Unedited records must be accepted, and Index::validate
//   must agree with the acceptor on the records even where no image can carry
//   them (a source length of 2^61 bytes and more).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "image_oracle.hpp"
#include "index_edits.hpp"
#include "morvane/index/index.hpp"

using namespace morvane;
using morvane::fuzz::blake3_of;
using morvane::fuzz::Recipe;

namespace {

constexpr std::size_t kMaxSource = 1 << 16;

// Records of up to four streams of up to three blocks each, placed as a real
// input places them: the blocks of a stream one after the other from the end
// of its header, its end magic right after them, the next stream at a byte
// boundary after its end record. The source is zeros up to the last stream's
// end and a little beyond.
index::Index make_records(Recipe& r) {
  index::Index x{};
  std::uint64_t byte = 0, decoded = 0;
  const auto streams = r.take(1) % 5;
  for (std::uint64_t i = 0; i < streams; ++i) {
    index::StreamIndex s{};
    s.header_byte = byte + r.take(1) % 4;
    s.block_size_100k = static_cast<std::uint8_t>(1 + r.take(1) % 9);
    s.first_block = x.blocks.size();
    s.block_count = r.take(1) % 4;
    s.decoded_start = decoded;
    std::uint64_t bit = s.header_byte * 8 + fuzz::image::kStreamHeaderBits;
    for (std::uint64_t k = 0; k < s.block_count; ++k) {
      index::BlockIndex b{.compressed_start_bit = bit, .decoded_start = decoded, .stream = i};
      bit += 173 + r.take(2) % 4096;
      b.compressed_end_bit = bit;
      b.decoded_bytes = 1 + r.take(2);
      b.expected_crc = static_cast<std::uint32_t>(r.take(4));
      decoded += b.decoded_bytes;
      x.blocks.push_back(b);
    }
    s.decoded_bytes = decoded - s.decoded_start;
    s.eos_bit = bit;
    s.expected_crc = static_cast<std::uint32_t>(r.take(4));
    byte = (bit + 80 + 7) / 8;
    x.streams.push_back(s);
  }
  x.source_bytes = byte + r.take(1) % 4;
  x.decoded_bytes = decoded;
  return x;
}

// The library and the acceptor on one image.
void check_image(std::span<const std::uint8_t> image, std::span<const std::uint8_t> source) {
  const auto parsed = index::Index::from_bytes(image, source);
  const auto verdict = fuzz::judge_image(image, source);
  if (const auto* reason = std::get_if<std::string_view>(&verdict)) {
    FUZZ_CHECK(!parsed && parsed.error().tag() == Error::Tag::InvalidIndex && parsed.error().reason() == *reason);
    return;
  }
  FUZZ_CHECK(parsed.has_value() && *parsed == std::get<index::Index>(verdict));
  FUZZ_CHECK(parsed->to_bytes() == std::vector<std::uint8_t>(image.begin(), image.end()));
}

void raw_image(std::uint8_t flags, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
  const std::uint64_t declared = image.size() >= 20 ? fuzz::le64(image, 12) : 0;
  const std::vector<std::uint8_t> source(declared <= kMaxSource ? declared : 0);
  if ((flags & 2) && image.size() >= 52) {
    const auto hash = blake3_of(source);
    std::copy(hash.begin(), hash.end(), image.begin() + 20);
  }
  if ((flags & 1) && image.size() >= 32) {
    const auto trailer = blake3_of(std::span(image).first(image.size() - 32));
    std::copy(trailer.begin(), trailer.end(), image.end() - 32);
  }
  check_image(image, source);
}

void image_of_records(std::span<const std::uint8_t> bytes) {
  Recipe recipe(bytes);
  index::Index x = make_records(recipe);
  const std::vector<std::uint8_t> source(x.source_bytes);
  x.source_hash = blake3_of(source);
  FUZZ_CHECK(!fuzz::broken_rule(x));
  fuzz::edit_index(x, recipe);

  const auto rule = fuzz::broken_rule(x);
  const auto valid = x.validate();
  FUZZ_CHECK(valid.has_value() == !rule);
  if (rule) FUZZ_CHECK(valid.error().tag() == Error::Tag::InvalidIndex && valid.error().reason() == *rule);

  const auto image = fuzz::write_image(x);
  FUZZ_CHECK(x.to_bytes() == image);
  check_image(image, source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto rest = std::span(data, size).subspan(1);
  if (data[0] < 0x80) {
    raw_image(data[0], rest);
  } else {
    image_of_records(rest);
  }
  return 0;
}
