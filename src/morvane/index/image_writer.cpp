// Index::to_bytes: the packed little-endian image with its BLAKE3 trailer.
#include <cstddef>

#include "morvane/index/image_format.hpp"
#include "morvane/index/index.hpp"

namespace morvane::index {
namespace {

// Appends to a vector whose exact final size was reserved up front.
class ImageWriter {
 public:
  explicit ImageWriter(std::size_t size) { out_.reserve(size); }

  void bytes(std::span<const std::uint8_t> data) { out_.insert(out_.end(), data.begin(), data.end()); }
  void byte(std::uint8_t value) { out_.push_back(value); }
  void u32(std::uint32_t value) { little_endian(value, 4); }
  void u64(std::uint64_t value) { little_endian(value, 8); }

  std::vector<std::uint8_t> finish() && {
    const auto trailer = blake3_hash(out_);
    bytes(trailer);
    return std::move(out_);
  }

 private:
  void little_endian(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }

  std::vector<std::uint8_t> out_;
};

}  // namespace

std::vector<std::uint8_t> Index::to_bytes() const {
  ImageWriter w(kEmptyImageBytes + kStreamRecordBytes * streams.size() + kBlockRecordBytes * blocks.size());
  w.bytes(kImageMagic);
  w.u32(kImageVersion);
  w.u64(source_bytes);
  w.bytes(source_hash);
  w.u64(decoded_bytes);
  w.u64(streams.size());
  w.u64(blocks.size());
  for (const StreamIndex& s : streams) {
    w.u64(s.header_byte);
    w.byte(s.block_size_100k);
    w.u64(s.first_block);
    w.u64(s.block_count);
    w.u64(s.decoded_start);
    w.u64(s.decoded_bytes);
    w.u64(s.eos_bit);
    w.u32(s.expected_crc);
  }
  for (const BlockIndex& b : blocks) {
    w.u64(b.compressed_start_bit);
    w.u64(b.compressed_end_bit);
    w.u64(b.decoded_start);
    w.u64(b.decoded_bytes);
    w.u32(b.expected_crc);
    w.u64(b.stream);
  }
  return std::move(w).finish();
}

}  // namespace morvane::index
