// Index::validate: one pass over the blocks, then two over the streams with
// their blocks. The rules run in a fixed order so that the first broken rule
// decides the reason.
#include <cstdint>

#include "morvane/constants.hpp"
#include "morvane/index/index.hpp"

namespace morvane::index {
namespace {

// Bits of the largest input whose bit offsets fit 64 bits: below 2^61 bytes.
inline constexpr std::uint64_t kMaxSourceBytes = std::uint64_t{1} << 61;

Result<void> invalid(const char* reason) { return fail(Error::invalid_index(reason)); }

}  // namespace

Result<void> Index::validate() const {
  if (source_bytes >= kMaxSourceBytes) return invalid("source length overflow");
  const std::uint64_t bits = source_bytes * 8;
  const std::uint64_t stream_total = streams.size();
  const std::uint64_t block_total = blocks.size();

  // Blocks tile the decoded data in order and start at increasing bits.
  std::uint64_t decoded_end = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const BlockIndex& b = blocks[i];
    if (b.decoded_start != decoded_end || b.decoded_bytes == 0)
      return invalid("block decoded offsets are not contiguous");
    if (b.compressed_start_bit >= b.compressed_end_bit || b.compressed_end_bit > bits)
      return invalid("block compressed range is invalid");
    if (b.stream >= stream_total) return invalid("block stream number is out of range");
    if (__builtin_add_overflow(decoded_end, b.decoded_bytes, &decoded_end)) return invalid("decoded offset overflow");
    if (i > 0 && blocks[i - 1].compressed_start_bit >= b.compressed_start_bit)
      return invalid("block compressed offsets are not increasing");
  }
  if (decoded_end != decoded_bytes) return invalid("decoded size does not match block records");

  // Streams take consecutive runs of blocks and of decoded bytes.
  std::uint64_t next_block = 0;
  std::uint64_t next_decoded = 0;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const StreamIndex& s = streams[i];
    if (s.block_size_100k < kMinLevel || s.block_size_100k > kMaxLevel || s.first_block != next_block ||
        s.decoded_start != next_decoded || s.eos_bit > bits)
      return invalid("stream record is inconsistent");
    std::uint64_t blocks_end = 0;
    if (__builtin_add_overflow(next_block, s.block_count, &blocks_end)) return invalid("stream block count overflow");
    if (blocks_end > block_total) return invalid("stream block range is out of bounds");
    for (std::uint64_t k = next_block; k < blocks_end; ++k)
      if (blocks[k].stream != i) return invalid("block belongs to the wrong stream");
    std::uint64_t decoded_next = 0;
    if (__builtin_add_overflow(next_decoded, s.decoded_bytes, &decoded_next)) return invalid("stream size overflow");
    next_block = blocks_end;
    next_decoded = decoded_next;
  }
  if (next_block != block_total || next_decoded != decoded_end)
    return invalid("stream records do not cover decoded data");

  // Last, what every input has and only a forged image breaks: in each stream
  // the blocks fill the bits from the end of the header to the end magic,
  // each ending where the next begins, and their sizes add up to the
  // stream's. The streams now take consecutive runs of all the blocks, whose
  // sizes add up without overflow.
  std::uint64_t first = 0;
  for (const StreamIndex& s : streams) {
    std::uint64_t bit = 0;
    if (__builtin_mul_overflow(s.header_byte, std::uint64_t{8}, &bit) ||
        __builtin_add_overflow(bit, kStreamHeaderBits, &bit))
      return invalid("block compressed ranges are not contiguous");
    std::uint64_t decoded = 0;
    for (std::uint64_t k = first; k < first + s.block_count; ++k) {
      if (blocks[k].compressed_start_bit != bit) return invalid("block compressed ranges are not contiguous");
      bit = blocks[k].compressed_end_bit;
      decoded += blocks[k].decoded_bytes;
    }
    if (bit != s.eos_bit) return invalid("block compressed ranges are not contiguous");
    if (decoded != s.decoded_bytes) return invalid("stream record does not match its blocks");
    first += s.block_count;
  }
  return {};
}

}  // namespace morvane::index
