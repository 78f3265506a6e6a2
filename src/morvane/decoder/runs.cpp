// The final run-length stage: four equal bytes are followed by a count of
// further copies (0..255). The output's length is counted first, so that it
// is written once into storage of exactly that size.
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

Result<std::uint64_t> expanded_length(std::span<const std::uint8_t> bytes, std::uint64_t output_limit,
                                      std::uint64_t block_start) {
  const std::uint8_t* in = bytes.data();
  const std::uint8_t* const in_end = in + bytes.size();
  std::uint64_t length = 0;
  bool count_missing = false;
  while (in < in_end) {
    const std::uint8_t* const run = find_run(in, in_end);
    if (run == nullptr) {
      length += static_cast<std::uint64_t>(in_end - in);
      break;
    }
    const std::uint8_t* const run_end = run + kRunLength;
    length += static_cast<std::uint64_t>(run_end - in);
    if (run_end == in_end) {
      count_missing = true;
      break;
    }
    // The repeat count of the run just counted; the byte after it starts afresh.
    length += *run_end;
    in = run_end + 1;
  }
  // The output only grows, so passing the limit anywhere means passing it at
  // the end; a missing count is met only there, after every byte is out.
  if (length > output_limit) return fail(Error::decode(block_start, DecodeError::BlockOverflow));
  if (count_missing) return fail(Error::decode(block_start, DecodeError::InvalidBlock));
  return length;
}

void expand_runs(std::span<const std::uint8_t> bytes, std::uint8_t* out) {
  const std::uint8_t* in = bytes.data();
  const std::uint8_t* const in_end = in + bytes.size();
  while (in < in_end) {
    // Literals up to and including the fourth of four equal bytes.
    const std::uint8_t* const run = find_run(in, in_end);
    const std::uint8_t* const literal_end = run ? run + kRunLength : in_end;
    const auto count = static_cast<std::size_t>(literal_end - in);
    std::memcpy(out, in, count);
    out += count;
    in = literal_end;
    if (run == nullptr) break;
    // expanded_length has seen that a count follows every run.
    const std::uint8_t repeat = *in++;
    std::memset(out, *run, repeat);
    out += repeat;
  }
}

}  // namespace morvane::decoder::stages
