// Reads bits at absolute positions of a borrowed byte slice, most significant
// bit first (bit 0 is the top bit of byte 0). The scan uses it for the fields
// that follow a magic; it checks its bounds first, so these errors never
// leave the scan.
#pragma once

#include <cstdint>
#include <span>

#include "morvane/error.hpp"

namespace morvane::bitreader {

// The widest read of one call, in bits.
inline constexpr std::uint8_t kMaxReadBits = 64;

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data) : data_(data) {}

  // The input's length in bits.
  std::uint64_t len_bits() const { return static_cast<std::uint64_t>(data_.size()) * 8; }

  // The bit at `bit_offset`: InvalidBitOffset past the input, UnexpectedEof
  // at its very end.
  Result<bool> read_bit(std::uint64_t bit_offset) const;

  // `count` bits (at most 64) starting at `bit_offset`, the first of them
  // the most significant: InvalidBitCount above 64 bits, InvalidBitOffset
  // for an offset past the input, UnexpectedEof when fewer bits remain.
  Result<std::uint64_t> read_bits(std::uint64_t bit_offset, std::uint8_t count) const;

 private:
  std::span<const std::uint8_t> data_;
};

}  // namespace morvane::bitreader
