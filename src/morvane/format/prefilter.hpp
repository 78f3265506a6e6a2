// Byte tables that tell the scan at which bit positions of a byte a magic may
// begin, so the 48-bit comparison runs only at the few flagged positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "morvane/constants.hpp"

namespace morvane::format {

// Entry b, bit z (bit 0 the least significant): the magic whose first byte is
// `first` may begin at bit position z of byte b (position 0 being the byte's
// most significant bit). That holds when the low 8 - z bits of b equal the top
// 8 - z bits of `first`.
using Prefilter = std::array<std::uint8_t, 256>;

constexpr Prefilter make_prefilter(std::uint8_t first) {
  Prefilter table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned z = 0; z < 8; ++z) {
      const unsigned low_bits = (1u << (8 - z)) - 1;
      if ((b & low_bits) == (static_cast<unsigned>(first) >> z)) table[b] = static_cast<std::uint8_t>(table[b] | (1u << z));
    }
  }
  return table;
}

// The first byte of a magic.
constexpr std::uint8_t magic_first_byte(std::uint64_t magic) {
  return static_cast<std::uint8_t>(magic >> (kMagicBits - 8));
}

inline constexpr Prefilter kBlockPrefilter = make_prefilter(magic_first_byte(kBlockMagic));  // first byte 0x31
inline constexpr Prefilter kEndPrefilter = make_prefilter(magic_first_byte(kEndMagic));      // first byte 0x17

constexpr std::size_t nonzero_entries(const Prefilter& table) {
  std::size_t count = 0;
  for (auto entry : table) count += entry != 0;
  return count;
}

static_assert(magic_first_byte(kBlockMagic) == 0x31 && magic_first_byte(kEndMagic) == 0x17);
static_assert(nonzero_entries(kBlockPrefilter) == 176);
static_assert(nonzero_entries(kEndPrefilter) == 151);
static_assert(kBlockPrefilter[0x00] == 0xC0 && kEndPrefilter[0x00] == 0xE0);
static_assert(kBlockPrefilter[0x31] == 0x21 && kEndPrefilter[0x31] == 0x10);
static_assert(kBlockPrefilter[0x17] == 0x00 && kEndPrefilter[0x17] == 0x01);
static_assert(kBlockPrefilter[0x0C] == 0xC4 && kEndPrefilter[0x0C] == 0xC0);
static_assert(kBlockPrefilter[0x18] == 0xC2 && kEndPrefilter[0x18] == 0xE0);
static_assert(kBlockPrefilter[0x62] == 0x80 && kEndPrefilter[0x62] == 0x88);
static_assert(kBlockPrefilter[0x0B] == 0x00 && kEndPrefilter[0x0B] == 0x02);
static_assert(kBlockPrefilter[0xFF] == 0x00 && kEndPrefilter[0xFF] == 0x00);

// The scan's hot loop looks at each byte together with the byte after it,
// through two 32-bit tables built from the ones above:
//   lead[b]:   bits 0-7 kBlockPrefilter[b], bits 8-15 kEndPrefilter[b],
//              bit 16 b is "B" (a stream header may begin here);
//   follow[b]: bit z (block) or 8 + z (end) when b is the magic's byte that
//              follows the first byte if the magic begins at bit position z,
//              bit 16 b is "Z".
// lead[byte i] AND follow[byte i + 1] keeps every flag of the first table
// whose next byte matches too, so a flag survives at fewer than 1 % of the
// bytes of compressed data, and only those reach the full comparison.
inline constexpr unsigned kEndFlagShift = 8;
inline constexpr std::uint32_t kStreamFlag = 1u << 16;

using PairFilter = std::array<std::uint32_t, 256>;

constexpr PairFilter make_lead_filter() {
  PairFilter table{};
  for (unsigned b = 0; b < 256; ++b) {
    table[b] = kBlockPrefilter[b] | static_cast<std::uint32_t>(kEndPrefilter[b]) << kEndFlagShift;
    if (b == kStreamMagic[0]) table[b] |= kStreamFlag;
  }
  return table;
}

// The magic's bits 8 - z to 15 - z (bit 0 its most significant): the byte
// after the one in which it begins at bit position z.
constexpr std::uint8_t magic_follow_byte(std::uint64_t magic, unsigned z) {
  return static_cast<std::uint8_t>(magic >> (kMagicBits - 16 + z));
}

constexpr PairFilter make_follow_filter() {
  PairFilter table{};
  for (unsigned z = 0; z < 8; ++z) {
    table[magic_follow_byte(kBlockMagic, z)] |= 1u << z;
    table[magic_follow_byte(kEndMagic, z)] |= 1u << (kEndFlagShift + z);
  }
  table[kStreamMagic[1]] |= kStreamFlag;
  return table;
}

inline constexpr PairFilter kLeadFilter = make_lead_filter();
inline constexpr PairFilter kFollowFilter = make_follow_filter();

static_assert(magic_follow_byte(kBlockMagic, 0) == 0x41 && magic_follow_byte(kEndMagic, 0) == 0x72);
static_assert(magic_follow_byte(kBlockMagic, 7) == 0x62);

}  // namespace morvane::format
