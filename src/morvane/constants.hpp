// Format constants shared by the decoder, the scan and the engine.
#pragma once

#include <cstdint>

namespace morvane {

// 48-bit magics, read most significant bit first.
inline constexpr std::uint64_t kBlockMagic = 0x314159265359;
inline constexpr std::uint64_t kEndMagic = 0x177245385090;

// Symbols (Burrows-Wheeler length) of one block per level step.
inline constexpr std::uint64_t kSymbolsPerLevel = 100000;
// Decoded bytes one block may produce per level step: every 5 symbols
// (four equal bytes and a repeat count of 255) give 259 bytes.
inline constexpr std::uint64_t kOutputPerLevel = kSymbolsPerLevel / 5 * 259;
static_assert(kOutputPerLevel == 5180000);

// The largest decoded size of one block (level 9): 900000 / 5 x 259 + 4 bytes.
// The smallest accepted memory limit, and the reservation per running decode.
inline constexpr std::uint64_t MAX_BLOCK_OUTPUT = 9 * kOutputPerLevel + 4;
static_assert(MAX_BLOCK_OUTPUT == 46620004);

}  // namespace morvane
