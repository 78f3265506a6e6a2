// The final run-length stage: four equal bytes are followed by a count of
// further copies (0..255).
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "morvane/decoder/stages.hpp"

namespace morvane::decoder::stages {
namespace {

inline constexpr unsigned kRunLength = 4;  // equal bytes after which a repeat count follows

// The first p in [from, end - 3) where four equal bytes begin, or nullptr.
// The leftmost such p is where the run-length state reaches four, because
// the state starts afresh at `from`.
const std::uint8_t* find_run(const std::uint8_t* from, const std::uint8_t* end) {
  const std::uint8_t* p = from;
#if defined(__SSE2__)
  // Sixteen starting places per step: compare each byte with the three after it.
  while (end - p >= 16 + 3) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
    const __m128i equal = _mm_and_si128(_mm_cmpeq_epi8(v0, v1), _mm_and_si128(_mm_cmpeq_epi8(v0, v2),
                                                                              _mm_cmpeq_epi8(v0, v3)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(equal));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; end - p >= static_cast<std::ptrdiff_t>(kRunLength); ++p) {
    if (p[1] == p[0] && p[2] == p[0] && p[3] == p[0]) return p;
  }
  return nullptr;
}

}  // namespace

Result<std::vector<std::uint8_t>> expand_runs(std::span<const std::uint8_t> bytes, std::uint64_t output_limit,
                                              std::uint64_t block_start) {
  const std::uint64_t n = bytes.size();
  // Room for every byte as a literal (never above the limit, since n is at
  // most level x 100000); only repeat counts can make the output longer.
  std::vector<std::uint8_t> out(std::min<std::uint64_t>(n + n / 8 + 64, output_limit));
  std::uint8_t* o = out.data();
  std::uint8_t* end = out.data() + out.size();
  const auto used = [&] { return static_cast<std::uint64_t>(o - out.data()); };
  const auto grow = [&](std::uint64_t needed) {
    const std::uint64_t at = used();
    out.resize(std::min(output_limit, std::max<std::uint64_t>(needed, std::uint64_t{out.size()} * 2)));
    o = out.data() + at;
    end = out.data() + out.size();
  };

  const std::uint8_t* in = bytes.data();
  const std::uint8_t* const in_end = in + n;
  while (in < in_end) {
    // Copy literals up to and including the fourth of four equal bytes.
    const std::uint8_t* const run = find_run(in, in_end);
    const std::uint8_t* const run_end = run ? run + kRunLength : nullptr;
    const std::uint8_t* const literal_end = run_end ? run_end : in_end;
    const auto count = static_cast<std::uint64_t>(literal_end - in);
    if (o + count > end) {
      if (used() + count > output_limit) {
        // Exactly where the limit is passed: the bytes up to it fit.
        return fail(Error::decode(block_start, DecodeError::BlockOverflow));
      }
      grow(used() + count + static_cast<std::uint64_t>(in_end - literal_end));
    }
    std::memcpy(o, in, count);
    o += count;
    in = literal_end;
    if (!run_end || in == in_end) break;
    // The repeat count of the run just copied; the byte after it starts afresh.
    const std::uint8_t repeat = *in++;
    if (used() + repeat > output_limit) return fail(Error::decode(block_start, DecodeError::BlockOverflow));
    if (o + repeat > end) grow(used() + repeat + static_cast<std::uint64_t>(in_end - in));
    std::memset(o, in[-2], repeat);
    o += repeat;
  }
  out.resize(static_cast<std::size_t>(used()));
  return out;
}

}  // namespace morvane::decoder::stages
