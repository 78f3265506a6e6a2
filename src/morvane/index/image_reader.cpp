// Index::from_bytes: checks an image in a fixed order (trailer, header,
// binding to the input, size equation, records, consistency) so that the
// first fault found decides the reason, and nothing is allocated from a count
// before the image's length has bounded it.
#include <algorithm>
#include <array>
#include <optional>
#include <type_traits>
#include <utility>

#include "morvane/index/image_format.hpp"
#include "morvane/index/index.hpp"
#include "morvane/index/index_reader.hpp"

namespace morvane::index {
namespace {

// One field: an integer of its width, or the raw bytes of the hash.
template <class T>
Result<T> read_field(IndexReader& r) {
  if constexpr (std::is_same_v<T, std::uint8_t>) {
    return r.byte();
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return r.u32();
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return r.u64();
  } else {
    static_assert(std::is_same_v<T, std::array<std::uint8_t, kHashBytes>>);
    auto bytes = r.take(kHashBytes);
    if (!bytes) return fail(std::move(bytes.error()));
    T hash;
    std::ranges::copy(*bytes, hash.begin());
    return hash;
  }
}

// Reads the fields in the order given, each at the width of its type; the
// first failure ends the reading.
Result<void> read_fields(IndexReader& r, auto&... fields) {
  std::optional<Error> error;
  auto read_one = [&](auto& field) {
    auto value = read_field<std::remove_reference_t<decltype(field)>>(r);
    if (!value) {
      error = std::move(value.error());
      return false;
    }
    field = *value;
    return true;
  };
  (read_one(fields) && ...);
  if (error) return fail(std::move(*error));
  return {};
}

Result<StreamIndex> read_stream(IndexReader& r) {
  StreamIndex s{};
  auto read = read_fields(r, s.header_byte, s.block_size_100k, s.first_block, s.block_count, s.decoded_start,
                          s.decoded_bytes, s.eos_bit, s.expected_crc);
  if (!read) return fail(std::move(read.error()));
  return s;
}

Result<BlockIndex> read_block(IndexReader& r) {
  BlockIndex b{};
  auto read = read_fields(r, b.compressed_start_bit, b.compressed_end_bit, b.decoded_start, b.decoded_bytes,
                          b.expected_crc, b.stream);
  if (!read) return fail(std::move(read.error()));
  return b;
}

// The record area's length for S streams and B blocks, or nothing when it
// does not fit 64 bits.
std::optional<std::uint64_t> records_length(std::uint64_t streams, std::uint64_t blocks) {
  std::uint64_t stream_bytes = 0, block_bytes = 0, total = 0;
  if (__builtin_mul_overflow(streams, std::uint64_t{kStreamRecordBytes}, &stream_bytes) ||
      __builtin_mul_overflow(blocks, std::uint64_t{kBlockRecordBytes}, &block_bytes) ||
      __builtin_add_overflow(stream_bytes, block_bytes, &total))
    return std::nullopt;
  return total;
}

}  // namespace

Result<Index> Index::from_bytes(std::span<const std::uint8_t> image, std::span<const std::uint8_t> source) {
  if (image.size() < kTrailerBytes) return fail(Error::invalid_index("truncated header"));
  const auto payload = image.first(image.size() - kTrailerBytes);
  const auto trailer = image.last(kTrailerBytes);
  const auto checksum = blake3_hash(payload);
  if (!std::ranges::equal(checksum, trailer)) return fail(Error::invalid_index("payload checksum mismatch"));

  IndexReader r{.payload = payload};
  auto magic = r.take(kImageMagic.size());
  if (!magic) return fail(std::move(magic.error()));
  if (!std::ranges::equal(*magic, kImageMagic)) return fail(Error::invalid_index("bad magic"));
  auto version = r.u32();
  if (!version) return fail(std::move(version.error()));
  if (*version != kImageVersion) return fail(Error::invalid_index("unsupported version"));

  Index index{};
  std::uint64_t stream_count = 0, block_count = 0;
  auto header = read_fields(r, index.source_bytes, index.source_hash, index.decoded_bytes, stream_count, block_count);
  if (!header) return fail(std::move(header.error()));

  // The length is compared first so that an input of the wrong length is
  // refused without reading it.
  if (index.source_bytes != source.size() || blake3_hash(source) != index.source_hash)
    return fail(Error::invalid_index("source identity mismatch"));

  const auto records = records_length(stream_count, block_count);
  if (!records) return fail(Error::invalid_index("record counts overflow"));
  if (payload.size() - r.cursor != *records)
    return fail(Error::invalid_index("record counts do not match payload length"));

  // Both counts are now bounded by the image's length.
  index.streams.reserve(stream_count);
  index.blocks.reserve(block_count);
  for (std::uint64_t i = 0; i < stream_count; ++i) {
    auto s = read_stream(r);
    if (!s) return fail(std::move(s.error()));
    index.streams.push_back(*s);
  }
  for (std::uint64_t i = 0; i < block_count; ++i) {
    auto b = read_block(r);
    if (!b) return fail(std::move(b.error()));
    index.blocks.push_back(*b);
  }

  if (auto valid = index.validate(); !valid) return fail(std::move(valid.error()));
  return index;
}

}  // namespace morvane::index
