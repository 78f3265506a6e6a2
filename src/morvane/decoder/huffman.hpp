// The decoding table of one canonical bzip2 Huffman code: a 12-bit direct
// lookup for short codes and a canonical walk (limit / base / perm) for the
// longer ones and for the last bits of the input.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "morvane/decoder/bits.hpp"
#include "morvane/error.hpp"

namespace morvane::decoder {

inline constexpr unsigned kMaxCodeLength = 20;   // bits
inline constexpr unsigned kFastBits = 12;        // bits looked up at once
inline constexpr std::size_t kFastEntries = std::size_t{1} << kFastBits;
// A fast entry: symbol | code length << 16; 0 means no code of <= 12 bits.
inline constexpr std::uint32_t kEntryLengthShift = 16;
// A lookup() result with this bit set names an invalid bit pattern; its
// length field is then the number of bits consumed before that was clear.
inline constexpr std::uint32_t kEntryInvalid = 1u << 31;

class Huffman {
 public:
  static Result<Huffman> build(std::span<const std::uint8_t> lengths, std::uint64_t bit_offset);

  // Reads one symbol at the cursor and advances past its code.
  Result<std::uint16_t> decode(Bits& bits) const;

  // The entry for the code at the top of `window`, which must hold at least
  // kMaxCodeLength valid bits: symbol | length << 16, or kEntryInvalid | the
  // bits consumed << 16 for a pattern no code uses.
  std::uint32_t lookup(std::uint64_t window) const {
    const std::uint32_t entry = fast_[window >> (64 - kFastBits)];
    if (entry != 0) [[likely]] return entry;
    return walk(window);
  }

  // The 4096 fast entries, indexed by the next 12 bits.
  const std::uint32_t* fast_table() const { return fast_.get(); }
  std::uint8_t min_len() const { return min_len_; }
  // The heap bytes the table holds.
  std::size_t storage_bytes() const { return kFastEntries * sizeof(std::uint32_t) + perm_.capacity() * sizeof(std::uint16_t); }
  std::uint8_t max_len() const { return max_len_; }

 private:
  Huffman() = default;
  std::uint32_t walk(std::uint64_t window) const;

  std::vector<std::uint16_t> perm_;
  std::unique_ptr<std::uint32_t[]> fast_;
  std::array<std::int32_t, kMaxCodeLength + 1> limit_{};
  std::array<std::int32_t, kMaxCodeLength + 1> base_{};
  std::uint8_t min_len_ = 0;
  std::uint8_t max_len_ = 0;
};

}  // namespace morvane::decoder
