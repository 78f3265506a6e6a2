// The symbol stage: Huffman symbols, 50 per selector, through the run
// (RUNA/RUNB) and move-to-front stages into the Burrows-Wheeler vector.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "morvane/decoder/stages.hpp"

namespace morvane::decoder::stages {
namespace {

inline constexpr std::uint16_t kRunB = 1;       // RUNA is 0
inline constexpr unsigned kMaxRunSymbols = 31;  // a 32nd run symbol in a row overflows
// A whole group read with unchecked 8-byte loads needs this many bytes at the
// group's first byte: 50 codes of at most 20 bits, plus the last load.
inline constexpr std::uint64_t kGroupBytes = kGroupSize * kMaxCodeLength / 8 + 8 + 1;

// A pending run at least this long is written only if the block is still
// wanted: a few header bits can ask for a run that fills the whole block.
inline constexpr std::uint64_t kLongRun = 4096;  // symbols

enum class Step : std::uint8_t { Next, End, Overflow, Invalid, Abandoned };

// Moves the byte at `position` of the 256-byte list to the front: every byte
// before it moves up one place. In 16-byte vector steps from the top chunk
// down, so the common small positions cost one step and no call.
[[gnu::always_inline]] inline std::uint8_t move_to_front(std::uint8_t* list, unsigned position) {
  const std::uint8_t byte = list[position];
#if defined(__SSE2__)
  const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  unsigned chunk = position & ~15u;
  // The top chunk keeps its bytes above `position`.
  const __m128i keep = _mm_cmpgt_epi8(index, _mm_set1_epi8(static_cast<char>(position - chunk)));
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(list + chunk));
  for (;;) {
    const __m128i carry = chunk == 0 ? _mm_cvtsi32_si128(byte) : _mm_cvtsi32_si128(list[chunk - 1]);
    __m128i moved = _mm_or_si128(_mm_slli_si128(v, 1), carry);
    if (chunk == (position & ~15u)) moved = _mm_or_si128(_mm_and_si128(keep, v), _mm_andnot_si128(keep, moved));
    const __m128i below = chunk == 0 ? v : _mm_loadu_si128(reinterpret_cast<const __m128i*>(list + chunk - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(list + chunk), moved);
    if (chunk == 0) break;
    chunk -= 16;
    v = below;
  }
#else
  std::memmove(list + 1, list, position);
  list[0] = byte;
#endif
  return byte;
}

// The stage between symbols, in locals the compiler can keep in registers
// (the stores into tt would otherwise force them to memory).
struct State {
  std::uint32_t* tt;  // each entry gets its byte (bits 0..7, see inverse.cpp)
  std::uint8_t* mtf;
  const Wanted* wanted;
  std::uint64_t run;
  std::uint32_t n;
  std::uint32_t max_symbols;
  unsigned run_symbols;
  unsigned mtf_size;

  // Applies one symbol. Errors are reported by the caller at the cursor,
  // which stands right after the symbol's code.
  [[gnu::always_inline]] inline Step apply(std::uint32_t symbol) {
    if (symbol <= kRunB) {
      if (run_symbols == kMaxRunSymbols) return Step::Overflow;
      run += std::uint64_t{symbol + 1u} << run_symbols;
      ++run_symbols;
      return run > max_symbols ? Step::Overflow : Step::Next;
    }
    if (run > 0) {
      if (n + run > max_symbols) return Step::Overflow;
      if (run >= kLongRun && !(*wanted)()) [[unlikely]] return Step::Abandoned;
      const std::uint8_t byte = mtf[0];
      std::fill_n(tt + n, run, byte);
      n += static_cast<std::uint32_t>(run);
      run = 0;
      run_symbols = 0;
    }
    const unsigned position = symbol - 1u;
    if (position >= mtf_size) return position == mtf_size ? Step::End : Step::Invalid;
    if (n >= max_symbols) return Step::Invalid;
    const std::uint8_t byte = move_to_front(mtf, position);
    tt[n++] = byte;
    return Step::Next;
  }
};

}  // namespace

Result<std::uint32_t> decode_symbols(Bits& bits, const CodingTables& tables, MtfList& mtf, std::uint32_t* tt,
                                     std::uint32_t max_symbols, const Wanted& wanted, std::uint32_t& written) {
  State state{tt, mtf.bytes.data(), &wanted, 0, 0, max_symbols, 0, mtf.size};
  written = 0;
  const std::uint8_t* const data = bits.data().data();
  const std::uint64_t size = bits.data().size();
  std::uint64_t pos = bits.pos();
  // Every way out reports what was written so far, and leaves the cursor
  // where the symbols stopped (the reader's cost follows both).
  const auto failure = [&](Step step) {
    written = state.n;
    bits.set_pos(pos);
    return fail(Error::decode(pos, step == Step::Overflow ? DecodeError::BlockOverflow : DecodeError::InvalidBlock));
  };
  const auto abandoned = [&] {
    written = state.n;
    bits.set_pos(pos);
    return kAbandoned;
  };
  const auto ended = [&] {
    written = state.n;
    return state.n;
  };

  for (std::size_t group = 0;; ++group) {
    if (group == tables.selectors.size()) return failure(Step::Invalid);
    if (!wanted()) [[unlikely]] return abandoned();
    const Huffman& table = tables.tables[tables.selectors[group]];
    if ((pos >> 3) + kGroupBytes <= size) {
      // Fast path: the whole group lies at least kGroupBytes before the end
      // of the input, so every 8-byte load below stays inside it and no
      // code can run out of bits. Gives the same symbols and error
      // positions as the checked path below.
      const std::uint32_t* const fast = table.fast_table();
      // Two codes per load: a load gives at least 57 bits, two codes take at most 40.
      static_assert(kGroupSize % 2 == 0 && 2 * kMaxCodeLength <= 57);
      for (unsigned i = 0; i < kGroupSize; i += 2) {
        std::uint64_t window = load_be64(data + (pos >> 3)) << (pos & 7);
        for (int half = 0; half < 2; ++half) {
          std::uint32_t entry = fast[window >> (64 - kFastBits)];
          if (entry == 0) [[unlikely]] {
            entry = table.lookup(window);
            if (entry & kEntryInvalid) {
              pos += (entry >> kEntryLengthShift) & 0xFF;
              written = state.n;
              bits.set_pos(pos);
              return fail(Error::decode(pos, DecodeError::InvalidHuffman));
            }
          }
          const unsigned len = entry >> kEntryLengthShift;
          pos += len;
          window <<= len;
          const Step step = state.apply(entry & 0xFFFF);
          if (step != Step::Next) [[unlikely]] {
            if (step == Step::Abandoned) return abandoned();
            if (step != Step::End) return failure(step);
            bits.set_pos(pos);
            return ended();
          }
        }
      }
    } else {
      // The tail of the input: every code through the checked decoder.
      for (unsigned i = 0; i < kGroupSize; ++i) {
        bits.set_pos(pos);
        auto symbol = table.decode(bits);
        if (!symbol) {
          written = state.n;
          return fail(std::move(symbol.error()));
        }
        pos = bits.pos();
        const Step step = state.apply(*symbol);
        if (step != Step::Next) {
          if (step == Step::Abandoned) return abandoned();
          if (step != Step::End) return failure(step);
          return ended();
        }
      }
    }
  }
}

}  // namespace morvane::decoder::stages
