#include "morvane/bitreader/bit_reader.hpp"

#include <algorithm>

namespace morvane::bitreader {

Result<bool> BitReader::read_bit(std::uint64_t bit_offset) const {
  auto bit = read_bits(bit_offset, 1);
  if (!bit) return fail(std::move(bit.error()));
  return *bit != 0;
}

Result<std::uint64_t> BitReader::read_bits(std::uint64_t bit_offset, std::uint8_t count) const {
  if (count > kMaxReadBits) return fail(Error(Error::InvalidBitCount{count}));
  const std::uint64_t len = len_bits();
  if (bit_offset > len) return fail(Error(Error::InvalidBitOffset{bit_offset, len}));
  // Written as a difference, so a huge offset cannot wrap the sum.
  if (count > len - bit_offset) return fail(Error(Error::UnexpectedEof{bit_offset, count, len - bit_offset}));

  // Byte by byte: reads are rare (only after a matched magic), so clarity wins.
  std::uint64_t value = 0;
  std::uint64_t pos = bit_offset;
  for (unsigned left = count; left > 0;) {
    const unsigned used = static_cast<unsigned>(pos & 7);
    const unsigned take = std::min(8u - used, left);
    const unsigned byte = data_[pos >> 3];
    value = (value << take) | ((byte >> (8 - used - take)) & ((1u << take) - 1));
    pos += take;
    left -= take;
  }
  return value;
}

}  // namespace morvane::bitreader
