// An index image acceptor written from the image format's rules alone, with
// none of the library's parsing or validation: it says which index an image
// describes, or the reason of the first rule the image breaks. Sums are taken
// in 128 bits, so "does not fit 64 bits" is a plain comparison here rather
// than an overflow check as in the library. Also a writer of images from the
// same layout, for targets that make images from records.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/index/index.hpp"

namespace morvane::fuzz {

namespace image {

// The layout: a 76-byte header, 53-byte stream records, 44-byte block
// records, and the BLAKE3 of everything before it as a 32-byte trailer.
inline constexpr std::uint8_t kMagic[8] = {'D', 'O', 'Z', 'E', 'Z', 'I', 'Z', 0};
inline constexpr std::size_t kHeader = 76, kStreamRecord = 53, kBlockRecord = 44, kTrailer = 32;
// A stream's first block starts after "BZh" and the level digit.
inline constexpr std::uint64_t kStreamHeaderBits = 32;

__extension__ typedef unsigned __int128 Wide;
inline constexpr Wide kPast64 = Wide{1} << 64;

// Little-endian fields read in order from a payload whose length is known to suffice.
class Fields {
 public:
  Fields(std::span<const std::uint8_t> bytes, std::size_t at) : bytes_(bytes), at_(at) {}
  std::uint64_t take(std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += width;
    return v;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_;
};

inline void put(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace image

// The rules the records of an index keep, in the order they are judged; the
// reason of the first one broken, or nothing.
inline std::optional<std::string_view> broken_rule(const index::Index& x) {
  using image::kPast64;
  using image::Wide;
  const Wide bits = Wide{x.source_bytes} * 8;
  if (bits >= kPast64) return "source length overflow";

  // Blocks cover the decoded bytes from 0 without gaps, each non-empty, each
  // within the input, owned by an existing stream, starting at increasing bits.
  Wide end = 0;
  for (std::size_t i = 0; i < x.blocks.size(); ++i) {
    const auto& b = x.blocks[i];
    if (b.decoded_start != end || b.decoded_bytes == 0) return "block decoded offsets are not contiguous";
    if (b.compressed_start_bit >= b.compressed_end_bit || b.compressed_end_bit > bits) {
      return "block compressed range is invalid";
    }
    if (b.stream >= x.streams.size()) return "block stream number is out of range";
    end += b.decoded_bytes;
    if (end >= kPast64) return "decoded offset overflow";
    if (i > 0 && x.blocks[i - 1].compressed_start_bit >= b.compressed_start_bit) {
      return "block compressed offsets are not increasing";
    }
  }
  if (end != x.decoded_bytes) return "decoded size does not match block records";

  // Streams take consecutive runs of the blocks and of the decoded bytes.
  Wide next_block = 0, next_decoded = 0;
  for (std::size_t i = 0; i < x.streams.size(); ++i) {
    const auto& s = x.streams[i];
    if (s.block_size_100k < 1 || s.block_size_100k > 9 || s.first_block != next_block ||
        s.decoded_start != next_decoded || s.eos_bit > bits) {
      return "stream record is inconsistent";
    }
    const Wide blocks_end = next_block + s.block_count;
    if (blocks_end >= kPast64) return "stream block count overflow";
    if (blocks_end > x.blocks.size()) return "stream block range is out of bounds";
    for (auto k = static_cast<std::size_t>(next_block); k < blocks_end; ++k) {
      if (x.blocks[k].stream != i) return "block belongs to the wrong stream";
    }
    next_decoded += s.decoded_bytes;
    if (next_decoded >= kPast64) return "stream size overflow";
    next_block = blocks_end;
  }
  if (next_block != x.blocks.size() || next_decoded != end) return "stream records do not cover decoded data";

  // Within each stream the blocks fill the bits from the end of its header to
  // its end magic, one after the other, and their sizes add up to the stream's.
  std::size_t first = 0;
  for (const auto& s : x.streams) {
    Wide bit = Wide{s.header_byte} * 8 + image::kStreamHeaderBits;
    if (bit >= kPast64) return "block compressed ranges are not contiguous";
    Wide decoded = 0;
    for (std::size_t k = first; k < first + s.block_count; ++k) {
      if (x.blocks[k].compressed_start_bit != bit) return "block compressed ranges are not contiguous";
      bit = x.blocks[k].compressed_end_bit;
      decoded += x.blocks[k].decoded_bytes;
    }
    if (bit != s.eos_bit) return "block compressed ranges are not contiguous";
    if (decoded != s.decoded_bytes) return "stream record does not match its blocks";
    first += static_cast<std::size_t>(s.block_count);
  }
  return std::nullopt;
}

// What an image read against `source` gives: the index, or the reason it is refused.
using Verdict = std::variant<index::Index, std::string_view>;

inline Verdict judge_image(std::span<const std::uint8_t> image_bytes, std::span<const std::uint8_t> source) {
  using namespace image;
  if (image_bytes.size() < kTrailer) return "truncated header";
  const auto payload = image_bytes.first(image_bytes.size() - kTrailer);
  const auto hash = blake3_of(payload);
  if (!std::equal(hash.begin(), hash.end(), image_bytes.end() - kTrailer)) return "payload checksum mismatch";
  if (payload.size() < 8) return "truncated payload";
  if (!std::equal(payload.begin(), payload.begin() + 8, kMagic)) return "bad magic";
  if (payload.size() < 12) return "truncated payload";
  if (Fields(payload, 8).take(4) != 1) return "unsupported version";
  if (payload.size() < kHeader) return "truncated payload";

  Fields header(payload, 12);
  index::Index x{};
  x.source_bytes = header.take(8);
  std::copy_n(payload.begin() + 20, 32, x.source_hash.begin());
  Fields counts(payload, 52);
  x.decoded_bytes = counts.take(8);
  const Wide streams = counts.take(8), blocks = counts.take(8);
  if (x.source_bytes != source.size() || x.source_hash != blake3_of(source)) return "source identity mismatch";
  const Wide records = streams * kStreamRecord + blocks * kBlockRecord;
  if (streams * kStreamRecord >= kPast64 || blocks * kBlockRecord >= kPast64 || records >= kPast64) {
    return "record counts overflow";
  }
  if (payload.size() - kHeader != records) return "record counts do not match payload length";

  Fields r(payload, kHeader);
  for (Wide i = 0; i < streams; ++i) {
    index::StreamIndex s{};
    s.header_byte = r.take(8);
    s.block_size_100k = static_cast<std::uint8_t>(r.take(1));
    s.first_block = r.take(8);
    s.block_count = r.take(8);
    s.decoded_start = r.take(8);
    s.decoded_bytes = r.take(8);
    s.eos_bit = r.take(8);
    s.expected_crc = static_cast<std::uint32_t>(r.take(4));
    x.streams.push_back(s);
  }
  for (Wide i = 0; i < blocks; ++i) {
    index::BlockIndex b{};
    b.compressed_start_bit = r.take(8);
    b.compressed_end_bit = r.take(8);
    b.decoded_start = r.take(8);
    b.decoded_bytes = r.take(8);
    b.expected_crc = static_cast<std::uint32_t>(r.take(4));
    b.stream = r.take(8);
    x.blocks.push_back(b);
  }
  if (auto reason = broken_rule(x)) return *reason;
  return x;
}

// The image of an index as the layout has it, whatever its fields hold.
inline std::vector<std::uint8_t> write_image(const index::Index& x) {
  using image::put;
  std::vector<std::uint8_t> out(std::begin(image::kMagic), std::end(image::kMagic));
  put(out, 1, 4);
  put(out, x.source_bytes, 8);
  out.insert(out.end(), x.source_hash.begin(), x.source_hash.end());
  put(out, x.decoded_bytes, 8);
  put(out, x.streams.size(), 8);
  put(out, x.blocks.size(), 8);
  for (const auto& s : x.streams) {
    put(out, s.header_byte, 8);
    put(out, s.block_size_100k, 1);
    put(out, s.first_block, 8);
    put(out, s.block_count, 8);
    put(out, s.decoded_start, 8);
    put(out, s.decoded_bytes, 8);
    put(out, s.eos_bit, 8);
    put(out, s.expected_crc, 4);
  }
  for (const auto& b : x.blocks) {
    put(out, b.compressed_start_bit, 8);
    put(out, b.compressed_end_bit, 8);
    put(out, b.decoded_start, 8);
    put(out, b.decoded_bytes, 8);
    put(out, b.expected_crc, 4);
    put(out, b.stream, 8);
  }
  const auto trailer = blake3_of(out);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

}  // namespace morvane::fuzz
