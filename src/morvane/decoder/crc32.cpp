#include "morvane/decoder/crc32.hpp"

#include <array>

namespace morvane::decoder {
namespace {

// Slicing by 8: kTables[0][i] is the register after shifting i << 24 through
// 8 rounds (the standard bytewise table); kTables[k][i] is the CRC of byte i
// followed by k zero bytes, so eight bytes fold into one step.
constexpr std::size_t kSlices = 8;
using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr CrcTables make_tables() {
  CrcTables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t reg = i << 24;
    for (int round = 0; round < 8; ++round) reg = (reg << 1) ^ ((reg & 0x80000000u) ? kCrcPolynomial : 0);
    tables[0][i] = reg;
  }
  for (std::size_t k = 1; k < kSlices; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint32_t prev = tables[k - 1][i];
      tables[k][i] = (prev << 8) ^ tables[0][prev >> 24];
    }
  }
  return tables;
}

constexpr CrcTables kTables = make_tables();
static_assert(kTables[0][1] == kCrcPolynomial);

}  // namespace

std::uint32_t crc32_bzip2(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  const auto& t = kTables;
  while (n >= 8) {
    const std::uint32_t head = crc ^ (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                      std::uint32_t{p[2]} << 8 | p[3]);
    crc = t[7][head >> 24] ^ t[6][(head >> 16) & 0xFF] ^ t[5][(head >> 8) & 0xFF] ^ t[4][head & 0xFF] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  for (; n > 0; --n, ++p) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p];
  return ~crc;
}

}  // namespace morvane::decoder
