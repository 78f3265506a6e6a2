// The index image parser. The first byte of a fuzz input holds flags, the rest
// is the image. The source it is checked against is as many zero bytes as the
// image declares (up to 64 KiB; none above). Flag 1 writes the right BLAKE3
// trailer and flag 2 the source's hash into the image before it is parsed, so
// that the fuzzer reaches the checks behind them. An accepted image must
// validate, equal what a plain reading of the layout gives and re-serialise to
// the same bytes; a refused one must give the reason that the first broken
// layout rule, or else Index::validate, gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/index/index.hpp"

using namespace morvane;
using morvane::fuzz::blake3_of;
using morvane::fuzz::le64;

namespace {

constexpr std::size_t kMaxSource = 1 << 16;

// A plain reading of the layout: the index it describes, or the reason of the
// first layout rule it breaks (validation is left to Index::validate).
std::variant<index::Index, std::string_view> read_layout(std::span<const std::uint8_t> image,
                                                         std::span<const std::uint8_t> source) {
  if (image.size() < 32) return "truncated header";
  const auto payload = image.first(image.size() - 32);
  const auto trailer = image.last(32);
  const auto hash = blake3_of(payload);
  if (!std::equal(hash.begin(), hash.end(), trailer.begin())) return "payload checksum mismatch";
  if (payload.size() < 8) return "truncated payload";
  if (!std::equal(payload.begin(), payload.begin() + 8, "DOZEZIZ")) return "bad magic";  // with its zero byte
  if (payload.size() < 12) return "truncated payload";
  if (payload[8] != 1 || payload[9] != 0 || payload[10] != 0 || payload[11] != 0) return "unsupported version";
  if (payload.size() < 76) return "truncated payload";
  index::Index out{.source_bytes = le64(payload, 12), .decoded_bytes = le64(payload, 52)};
  std::copy_n(payload.begin() + 20, 32, out.source_hash.begin());
  const std::uint64_t streams = le64(payload, 60), blocks = le64(payload, 68);
  if (out.source_bytes != source.size() || out.source_hash != blake3_of(source)) return "source identity mismatch";
  std::uint64_t stream_bytes = 0, block_bytes = 0, records = 0;
  if (__builtin_mul_overflow(streams, 53, &stream_bytes) || __builtin_mul_overflow(blocks, 44, &block_bytes) ||
      __builtin_add_overflow(stream_bytes, block_bytes, &records)) {
    return "record counts overflow";
  }
  if (payload.size() - 76 != records) return "record counts do not match payload length";

  std::size_t at = 76;
  auto u64 = [&] { at += 8; return le64(payload, at - 8); };
  auto u32 = [&] {
    at += 4;
    return static_cast<std::uint32_t>(payload[at - 4] | payload[at - 3] << 8 | payload[at - 2] << 16 |
                                      std::uint32_t{payload[at - 1]} << 24);
  };
  for (std::uint64_t i = 0; i < streams; ++i) {
    index::StreamIndex s{};
    s.header_byte = u64();
    s.block_size_100k = payload[at++];
    s.first_block = u64();
    s.block_count = u64();
    s.decoded_start = u64();
    s.decoded_bytes = u64();
    s.eos_bit = u64();
    s.expected_crc = u32();
    out.streams.push_back(s);
  }
  for (std::uint64_t i = 0; i < blocks; ++i) {
    index::BlockIndex b{};
    b.compressed_start_bit = u64();
    b.compressed_end_bit = u64();
    b.decoded_start = u64();
    b.decoded_bytes = u64();
    b.expected_crc = u32();
    b.stream = u64();
    out.blocks.push_back(b);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  std::vector<std::uint8_t> image(data + 1, data + size);
  const std::uint64_t declared = image.size() >= 20 ? le64(image, 12) : 0;
  const std::vector<std::uint8_t> source(declared <= kMaxSource ? declared : 0);
  if ((flags & 2) && image.size() >= 52) {
    const auto hash = blake3_of(source);
    std::copy(hash.begin(), hash.end(), image.begin() + 20);
  }
  if ((flags & 1) && image.size() >= 32) {
    const auto trailer = blake3_of(std::span(image).first(image.size() - 32));
    std::copy(trailer.begin(), trailer.end(), image.end() - 32);
  }

  auto parsed = index::Index::from_bytes(image, source);
  const auto layout = read_layout(image, source);
  if (const auto* reason = std::get_if<std::string_view>(&layout)) {
    FUZZ_CHECK(!parsed && parsed.error().tag() == Error::Tag::InvalidIndex && parsed.error().reason() == *reason);
    return 0;
  }
  const auto& expected = std::get<index::Index>(layout);
  auto valid = expected.validate();
  if (!valid) {
    FUZZ_CHECK(!parsed && parsed.error() == valid.error());
    return 0;
  }
  FUZZ_CHECK(parsed.has_value() && *parsed == expected);
  FUZZ_CHECK(parsed->validate().has_value());
  FUZZ_CHECK(parsed->to_bytes() == image);
  return 0;
}
