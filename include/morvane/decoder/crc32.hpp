// CRC-32/BZIP2: polynomial 0x04C11DB7, most significant bit first, initial
// value and final complement 0xFFFFFFFF. The block check and the stream's
// combined CRC. Both functions may run on any number of threads at once.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace morvane::decoder {

inline constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;

// The CRC of a byte range; the CRC of no bytes is 0.
std::uint32_t crc32_bzip2(std::span<const std::uint8_t> bytes);

// A stream's running CRC after one more block: rotate left by one, xor the block's CRC.
inline std::uint32_t combine_stream_crc(std::uint32_t combined, std::uint32_t block_crc) {
  return std::rotl(combined, 1) ^ block_crc;
}

}  // namespace morvane::decoder
