// The format's constants, each fact once: the stream header, the magics and
// the widths of the fields that follow them, the levels and the sizes a level
// allows. Widths are in bits, sizes in bytes or symbols as named.
#pragma once

#include <cstdint>

namespace morvane {

// The stream header: "BZh" and the level digit, '0' + level.
inline constexpr std::uint8_t kStreamMagic[3] = {'B', 'Z', 'h'};
inline constexpr std::uint64_t kStreamHeaderBytes = 4;
inline constexpr std::uint64_t kStreamHeaderBits = 8 * kStreamHeaderBytes;
// The level digit's first bit, counted from the header's first bit.
inline constexpr std::uint64_t kLevelDigitBit = 8 * sizeof kStreamMagic;
static_assert(kStreamHeaderBytes == sizeof kStreamMagic + 1 && kLevelDigitBit == 24);

// Levels: the block size in steps of 100000 symbols.
inline constexpr std::uint8_t kMinLevel = 1;
inline constexpr std::uint8_t kMaxLevel = 9;

// 48-bit magics, read most significant bit first.
inline constexpr unsigned kMagicBits = 48;
inline constexpr std::uint64_t kMagicMask = (std::uint64_t{1} << kMagicBits) - 1;
inline constexpr std::uint64_t kBlockMagic = 0x314159265359;
inline constexpr std::uint64_t kEndMagic = 0x177245385090;
static_assert(kBlockMagic <= kMagicMask && kEndMagic <= kMagicMask);

// The fields after a block magic: the block's CRC, the randomized flag and
// the origin pointer; after an end-of-stream magic: the stream's combined CRC.
inline constexpr unsigned kCrcBits = 32;
inline constexpr unsigned kRandomizedBits = 1;
inline constexpr unsigned kOriginBits = 24;
// From a block magic's first bit to the end of the origin pointer.
inline constexpr std::uint64_t kBlockHeaderBits = kMagicBits + kCrcBits + kRandomizedBits + kOriginBits;
static_assert(kBlockHeaderBits == 105);
// The end-of-stream record: magic and combined CRC, then up to 7 bits of
// padding to the byte where the next stream may begin.
inline constexpr std::uint64_t kEndRecordBits = kMagicBits + kCrcBits;
inline constexpr std::uint64_t kEndRecordPaddedBits = kEndRecordBits + 7;
static_assert(kEndRecordBits == 80);

// Symbols (Burrows-Wheeler length) of one block per level step.
inline constexpr std::uint64_t kSymbolsPerLevel = 100000;
inline constexpr std::uint64_t kMaxBlockSymbols = kMaxLevel * kSymbolsPerLevel;
static_assert(kMaxBlockSymbols == 900000);
// Decoded bytes one block may produce per level step: every 5 symbols
// (four equal bytes and a repeat count of 255) give 259 bytes.
inline constexpr std::uint64_t kOutputPerLevel = kSymbolsPerLevel / 5 * 259;
static_assert(kOutputPerLevel == 5180000);

// The largest decoded size of one block at `level`: level x 100000 / 5 x 259
// bytes, and 4 more for a block that ends in four equal bytes.
constexpr std::uint64_t max_block_output(std::uint64_t level) { return level * kOutputPerLevel + 4; }

// The largest decoded size of any block (level 9): 900000 / 5 x 259 + 4 bytes.
// The smallest accepted memory limit, and the reservation per running decode.
inline constexpr std::uint64_t MAX_BLOCK_OUTPUT = max_block_output(kMaxLevel);
static_assert(MAX_BLOCK_OUTPUT == 46620004);

}  // namespace morvane
