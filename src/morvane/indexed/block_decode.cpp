#include "morvane/indexed/block_decode.hpp"

#include <limits>
#include <optional>

#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block.hpp"

namespace morvane::indexed {

Result<std::vector<std::uint8_t>> decode_indexed_block(std::span<const std::uint8_t> source,
                                                        const index::Index& index, std::size_t block) {
  const index::BlockIndex& record = index.blocks[block];
  const std::uint64_t start = record.compressed_start_bit;
  // An index handed in by a caller is not validated, so a stream number out of
  // range must be refused here rather than read past the stream records.
  if (record.stream >= index.streams.size()) {
    return fail(Error::invalid_index("block stream number is out of range"));
  }
  const std::uint8_t level = index.streams[record.stream].block_size_100k;
  if (level < kMinLevel || start >= record.compressed_end_bit || level > kMaxLevel) {
    return fail(Error::decode(start, DecodeError::InvalidBlock));
  }
  const bool bits_fit = source.size() <= std::numeric_limits<std::uint64_t>::max() / 8;
  if (bits_fit && start > static_cast<std::uint64_t>(source.size()) * 8) {
    return fail(Error::decode(start, DecodeError::Truncated));
  }

  decoder::Bits bits(source, start);
  auto magic = bits.magic();
  if (!magic) return fail(std::move(magic.error()));
  if (*magic != kBlockMagic) return fail(Error::decode(start, DecodeError::InvalidMagic));

  // The reader keeps no transform vector between reads, so an idle reader
  // holds only its cache.
  decoder::LentDecoder decoder;
  auto decoded = decoder->block(bits, level, record.expected_crc);
  if (!decoded) return fail(std::move(decoded.error()));
  if (bits.pos() != record.compressed_end_bit) {
    return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));
  }
  if (decoded->data.size() != record.decoded_bytes) {
    return fail(Error::invalid_index("decoded block length does not match index"));
  }
  return decoded->data.to_vector();
}

}  // namespace morvane::indexed
