// A cursor over a borrowed byte range, read as a stream of bits, most
// significant bit first, at any absolute bit position. Every shortage is a
// Truncated decode error; no byte past the range is ever read.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "morvane/constants.hpp"
#include "morvane/error.hpp"

namespace morvane::decoder {

// The 8 bytes at p as one big-endian word; p must have 8 readable bytes.
inline std::uint64_t load_be64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::little) w = std::byteswap(w);
  return w;
}

// A cursor of one thread; many cursors may read the same bytes at once.
class Bits {
 public:
  Bits(std::span<const std::uint8_t> data, std::uint64_t pos) : data_(data.data()), size_(data.size()), pos_(pos) {}

  std::uint64_t pos() const { return pos_; }
  void set_pos(std::uint64_t pos) { pos_ = pos; }
  std::span<const std::uint8_t> data() const { return {data_, size_}; }

  // 8 x length bits in all, saturating.
  std::uint64_t total_bits() const {
    return size_ > std::numeric_limits<std::uint64_t>::max() / 8 ? std::numeric_limits<std::uint64_t>::max()
                                                                 : std::uint64_t{size_} * 8;
  }
  // Bits after the cursor; 0 when the cursor lies beyond the input.
  std::uint64_t remaining() const {
    const std::uint64_t total = total_bits();
    return pos_ < total ? total - pos_ : 0;
  }

  Result<bool> bit() {
    if (remaining() == 0) return fail(Error::decode(pos_, DecodeError::Truncated));
    const bool value = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
    ++pos_;
    return value;
  }

  // The next n (<= 32) bits, first bit most significant; the cursor stays.
  Result<std::uint32_t> peek(std::uint8_t n) const {
    if (remaining() < n) return fail(Error::decode(pos_, DecodeError::Truncated));
    return peek_unchecked(n);
  }

  // A fixed-width field of n (<= 32) bits: Truncated at its first bit when short.
  Result<std::uint32_t> read(std::uint8_t n) {
    if (remaining() < n) return fail(Error::decode(pos_, DecodeError::Truncated));
    const std::uint32_t value = peek_unchecked(n);
    pos_ += n;
    return value;
  }

  // A magic read as two halves: a shortage in the second half reports the
  // position after the first.
  Result<std::uint64_t> magic() {
    constexpr std::uint8_t kHalf = kMagicBits / 2;
    auto high = read(kHalf);
    if (!high) return fail(std::move(high.error()));
    auto low = read(kHalf);
    if (!low) return fail(std::move(low.error()));
    return (std::uint64_t{*high} << kHalf) | *low;
  }

  // The next n (<= 32) bits; the caller has checked that n bits remain.
  std::uint32_t peek_unchecked(std::uint8_t n) const {
    if (n == 0) return 0;
    return static_cast<std::uint32_t>(window() >> (64 - n));
  }

  // The bits from the cursor, left-aligned in a word. When at least 8 bytes
  // lie at the cursor's byte, at least 57 bits of it are valid; near the end
  // only the bits up to the end of the input are (the rest are zero).
  std::uint64_t window() const {
    const std::uint64_t off = pos_ >> 3;
    const unsigned shift = pos_ & 7;
    if (off + 8 <= size_) return load_be64(data_ + off) << shift;
    // The last 7 bytes: gather what is there, most significant first.
    std::uint64_t acc = 0;
    for (std::uint64_t i = 0; i < 8; ++i) acc = (acc << 8) | (off + i < size_ ? data_[off + i] : 0);
    return acc << shift;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t pos_;
};

}  // namespace morvane::decoder
