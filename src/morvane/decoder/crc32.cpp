#include "morvane/decoder/crc32.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The register `crc` (no final complement) after the bytes of [p, p + n).
std::uint32_t update_tables(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
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
  return crc;
}

#if defined(__x86_64__)

// Folding with carry-less multiplication. Read the bytes, first byte most
// significant, as a polynomial M over GF(2); the register after them is
// M x^32 mod P. A 128-bit value A = H x^64 + L moved n bits further along the
// message is A x^n = H (x^(n+64) mod P) + L (x^n mod P) modulo P: two 64 x 32
// bit products, which fit in 128 bits. So four 128-bit accumulators advance
// 512 bits per step over 64 bytes, are folded into one, and the last value A
// gives the register A x^32 mod P, which the table step computes from its
// 16 bytes.
constexpr std::uint64_t kPolynomialBits = std::uint64_t{1} << 32 | kCrcPolynomial;

// x^n mod P, 32 bits.
constexpr std::uint64_t x_power(unsigned n) {
  std::uint64_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if (r >> 32) r ^= kPolynomialBits;
  }
  return r;
}

// Multipliers that move a value 512 bits (one step of the four lanes) and
// 128 bits (one lane) along: x^(n+64) mod P in the high half, x^n mod P in the low.
constexpr std::uint64_t kBy512High = x_power(512 + 64), kBy512Low = x_power(512);
constexpr std::uint64_t kBy128High = x_power(128 + 64), kBy128Low = x_power(128);

constexpr unsigned kLaneBits = 128;
constexpr unsigned kLanes = 4;
constexpr std::size_t kFoldBytes = kLanes * kLaneBits / 8;  // 64

[[gnu::target("pclmul,ssse3")]] inline __m128i load_reversed(const std::uint8_t* p) {
  // Byte 0 becomes the most significant byte of the 128-bit value.
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// A moved `k`'s distance along: clmul(H, k.hi) ^ clmul(L, k.lo).
[[gnu::target("pclmul,ssse3")]] inline __m128i advance(__m128i a, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00));
}

// The register after the bytes of [p, p + n), n >= kFoldBytes.
[[gnu::target("pclmul,ssse3")]] std::uint32_t update_folding(std::uint32_t crc, const std::uint8_t* p,
                                                             std::size_t n) {
  const __m128i by_512 = _mm_set_epi64x(static_cast<long long>(kBy512High), static_cast<long long>(kBy512Low));
  const __m128i by_128 = _mm_set_epi64x(static_cast<long long>(kBy128High), static_cast<long long>(kBy128Low));
  __m128i acc[kLanes];
  for (unsigned j = 0; j < kLanes; ++j) acc[j] = load_reversed(p + 16 * j);
  // The register so far stands for the first 32 bits of what follows.
  acc[0] = _mm_xor_si128(acc[0], _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
  p += kFoldBytes;
  n -= kFoldBytes;
  for (; n >= kFoldBytes; p += kFoldBytes, n -= kFoldBytes) {
    for (unsigned j = 0; j < kLanes; ++j) acc[j] = _mm_xor_si128(advance(acc[j], by_512), load_reversed(p + 16 * j));
  }
  __m128i a = acc[0];
  for (unsigned j = 1; j < kLanes; ++j) a = _mm_xor_si128(advance(a, by_128), acc[j]);
  for (; n >= 16; p += 16, n -= 16) a = _mm_xor_si128(advance(a, by_128), load_reversed(p));
  std::uint8_t bytes[16];
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), _mm_shuffle_epi8(a, reverse));
  return update_tables(update_tables(0, bytes, sizeof bytes), p, n);
}

const bool kHasFolding = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}();

#endif

}  // namespace

std::uint32_t crc32_bzip2(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
#if defined(__x86_64__)
  if (kHasFolding && bytes.size() >= kFoldBytes) return ~update_folding(crc, bytes.data(), bytes.size());
#endif
  return ~update_tables(crc, bytes.data(), bytes.size());
}

}  // namespace morvane::decoder
