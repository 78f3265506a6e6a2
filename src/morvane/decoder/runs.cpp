// The final run-length stage: four equal bytes are followed by a count of
// further copies (0..255). A first pass finds every count and the output's
// length, so that the second writes it once, with no search, into storage of
// exactly that size.
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

Result<RunScan> scan_runs(std::span<const std::uint8_t> bytes, std::uint64_t output_limit,
                          std::uint64_t block_start, std::uint32_t* counts) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* in = begin;
  const std::uint8_t* const in_end = in + bytes.size();
  RunScan scan{bytes.size(), 0};
  bool count_missing = false;
  while (const std::uint8_t* run = find_run(in, in_end)) {
    const std::uint8_t* const count = run + kRunLength;
    if (count == in_end) {
      count_missing = true;
      break;
    }
    // The count byte is not output; the copies it asks for are.
    scan.length = scan.length - 1 + *count;
    counts[scan.runs++] = static_cast<std::uint32_t>(count - begin);
    // The byte after a count starts afresh.
    in = count + 1;
  }
  // The output only grows, so passing the limit anywhere means passing it at
  // the end; a missing count is met only there, after every byte is out.
  if (scan.length > output_limit) return fail(Error::decode(block_start, DecodeError::BlockOverflow));
  if (count_missing) return fail(Error::decode(block_start, DecodeError::InvalidBlock));
  return scan;
}

void expand_runs(std::span<const std::uint8_t> bytes, std::span<const std::uint32_t> counts, std::uint8_t* out) {
  std::uint32_t from = 0;
  for (const std::uint32_t count : counts) {
    // Literals up to and including the fourth equal byte, then its copies.
    std::memcpy(out, bytes.data() + from, count - from);
    out += count - from;
    std::memset(out, bytes[count - 1], bytes[count]);
    out += bytes[count];
    from = count + 1;
  }
  std::memcpy(out, bytes.data() + from, bytes.size() - from);
}

}  // namespace morvane::decoder::stages
