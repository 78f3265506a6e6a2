#include "support/nested_headers.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <stdexcept>

#include "support/symbol_block.hpp"

namespace morvane::test {
namespace {

// The code of every table of a nested block. The first place of the
// move-to-front list takes the one-bit word 0, so that any run of zero bits
// (a false header's selectors, its stored lengths) reads as that literal
// over and over and ends on a word wherever it ends; RUNA, RUNB and the next
// eight places take two words at each length from 3 to 7, and the words that
// begin with six ones are 128 words of 13 bits: the other literals and, last,
// the end-of-block symbol. No false header holds six ones in a row, so its
// bits read as short words only: runs and literals among the first places of
// the list, never the end of the block. The literals that follow the false
// headers all take 13-bit words, which a decoder reads more slowly than short
// ones, so that reading the block costs about as much as finishing it.
constexpr unsigned kTables = 2;
constexpr std::array<std::uint8_t, 11> kShortLengths = {3, 3, 1, 4, 4, 5, 5, 6, 6, 7, 7};
constexpr std::size_t kShortLiterals = kShortLengths.size() - 2;
constexpr std::uint16_t kLastShortSymbol = kShortLengths.size() - 1;
constexpr std::uint8_t kLongLength = 13;
constexpr std::size_t kLongWords = 128;  // 2^-6 of the code space, at 2^-13 each
constexpr std::size_t kUsedBytes = kShortLiterals + kLongWords;  // literals at places 1..136, and the end of block

constexpr std::uint64_t kTrials = 64;         // CRCs and selector counts tried per false header
constexpr std::size_t kSelectorSteps = 16;    // selector counts tried, from the needed one up
constexpr std::uint64_t kAttempts = 1 << 10;  // draws of CRCs and of the rest tried per block

// Seeds for CRCs and draws: the finaliser of splitmix64.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
  return x ^ (x >> 31);
}

// The byte values in use: none with three neighbours in use, in groups of
// which none has three neighbours in use either, so the byte maps of a
// header hold no long run of ones.
std::vector<std::uint8_t> used_bytes() {
  std::vector<std::uint8_t> used;
  for (unsigned b = 0; b < 256 && used.size() < kUsedBytes; ++b)
    if (b % 4 != 3 && b / 16 % 4 != 3) used.push_back(static_cast<std::uint8_t>(b));
  return used;
}

std::vector<std::uint8_t> code_lengths() {
  std::vector<std::uint8_t> lengths(kShortLengths.begin(), kShortLengths.end());
  lengths.insert(lengths.end(), kLongWords, kLongLength);
  return lengths;
}

// The symbols that `bits` splits into under the canonical code of `lengths`;
// nothing when the bits end inside a code word or hold a word the code lacks.
std::optional<std::vector<std::uint16_t>> parse(const BitString& bits, const std::vector<std::uint8_t>& lengths) {
  std::array<std::uint32_t, kMaxCodeLength + 1> count{}, first{}, index{};
  for (std::uint8_t length : lengths) ++count[length];
  std::vector<std::uint16_t> by_code;  // symbols by length, then by value
  for (unsigned length = 1, code = 0; length <= kMaxCodeLength; ++length) {
    first[length] = code;
    index[length] = static_cast<std::uint32_t>(by_code.size());
    for (std::size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] == length) by_code.push_back(static_cast<std::uint16_t>(s));
    code = (code + count[length]) << 1;
  }
  std::vector<std::uint16_t> symbols;
  std::uint32_t code = 0;
  unsigned length = 0;
  for (bool bit : bits) {
    code = code << 1 | bit;
    ++length;
    if (code - first[length] < count[length]) {
      symbols.push_back(by_code[index[length] + code - first[length]]);
      code = 0;
      length = 0;
    } else if (length == kMaxCodeLength) {
      return std::nullopt;
    }
  }
  if (length != 0) return std::nullopt;
  return symbols;
}

// A false block header: the magic, `crc`, randomised bit 0, origin 0, the
// byte map of `used`, the tables, and `selectors` selectors of table 0.
BitString false_header(const std::vector<std::uint8_t>& used, const std::vector<std::uint8_t>& lengths,
                       std::uint32_t crc, std::uint32_t selectors) {
  BlockFields f;
  f.stored_crc = crc;
  f.used = used;
  f.tables = kTables;
  f.selector_codes.assign(selectors, 0);
  f.lengths.assign(kTables, lengths);
  BitWriter out;
  write_block(out, f);
  return bits_of(out, 0, out.pos());
}

// One real block's false headers: their symbols, where each begins (bits
// from the start of the symbol stream), the symbol after each, and each one's
// selector count.
struct FalseHeaders {
  std::vector<std::uint16_t> symbols;
  std::vector<std::uint64_t> starts;
  std::vector<std::size_t> ends;
  std::vector<std::uint32_t> selectors;
  std::uint64_t entries = 0;  // column entries of their symbols
};

// Nothing when no trial of some false header ends on a code word, reads as
// short words only and keeps the block within `limit` column entries.
std::optional<FalseHeaders> false_headers_for(const std::vector<std::uint8_t>& used,
                                              const std::vector<std::uint8_t>& lengths, std::uint32_t limit,
                                              std::size_t count, std::uint64_t seed) {
  FalseHeaders headers;
  SymbolBudget budget(used.size(), limit);
  std::uint64_t bits = 0;
  for (std::size_t h = 0; h < count; ++h) {
    // Every symbol after the header is at most one column entry (a run of r
    // entries has fewer than r digits), the end-of-block symbol aside.
    const std::uint64_t needed = (limit - budget.entries() + 1 + kSymbolsPerSelector - 1) / kSymbolsPerSelector;
    // Counts whose 15 bits hold no run of five ones.
    std::vector<std::uint32_t> counts;
    for (auto c = static_cast<std::uint32_t>(needed); counts.size() < kSelectorSteps; ++c)
      if ((c & c >> 1 & c >> 2 & c >> 3 & c >> 4) == 0) counts.push_back(c);
    if (counts.back() > kMaxSelectors) throw std::invalid_argument("blocks too large for false headers");
    bool placed = false;
    for (std::uint64_t trial = 0; trial < kTrials && !placed; ++trial) {
      const std::uint32_t selectors = counts[trial % kSelectorSteps];
      const auto crc = static_cast<std::uint32_t>(mix(seed ^ h << 40 ^ trial));
      const BitString header = false_header(used, lengths, crc, selectors);
      const auto parsed = parse(header, lengths);
      if (!parsed) continue;
      SymbolBudget tried = budget;
      if (!std::all_of(parsed->begin(), parsed->end(),
                       [&](std::uint16_t s) { return s <= kLastShortSymbol && tried.take(s); }))
        continue;
      budget = tried;
      headers.starts.push_back(bits);
      bits += header.size();
      headers.symbols.insert(headers.symbols.end(), parsed->begin(), parsed->end());
      headers.ends.push_back(headers.symbols.size());
      headers.selectors.push_back(selectors);
      placed = true;
    }
    if (!placed) return std::nullopt;
  }
  headers.entries = budget.entries();
  return headers;
}

// The rest of the block's column: literals far down the move-to-front list
// (each at a place drawn from those with long words) after the headers'
// part, then a few neighbours swapped so that the whole column is one cycle.
// The symbols of that rest, continuing the list where the headers left it,
// with the end-of-block symbol; nothing when the headers' part holds a cycle
// of its own (an entry that links to itself, say), which another block's
// worth of headers mends.
std::optional<std::vector<std::uint16_t>> rest_of_block(const std::vector<std::uint8_t>& used,
                                                        const FalseHeaders& headers, std::uint32_t limit,
                                                        std::uint64_t seed) {
  std::vector<std::uint8_t> order = used;
  std::vector<std::uint8_t> column = column_of(headers.symbols, order);
  // The headers' run still open at their end; the rest's first byte, drawn
  // far down the list, is never its front, so it ends that run.
  column.resize(headers.entries, order.front());
  const std::vector<std::uint8_t> after_headers = order;
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::size_t> place(kShortLiterals + 1, used.size() - 1);
  while (column.size() < limit) {
    const std::size_t at = place(random);
    const std::uint8_t byte = order[at];
    std::copy_backward(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(at),
                       order.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    order.front() = byte;
    column.push_back(byte);
  }
  if (!join_cycles(column, headers.entries)) return std::nullopt;
  const std::span<const std::uint8_t> rest(column.begin() + static_cast<std::ptrdiff_t>(headers.entries),
                                           column.end());
  return mtf_symbols(rest, after_headers);
}

}  // namespace

Planted nested_headers(Extent extent, std::uint32_t symbols, std::size_t false_headers) {
  const std::vector<std::uint8_t> used = used_bytes();
  const std::vector<std::uint8_t> lengths = code_lengths();
  StreamMaker maker(extent);
  for (std::uint64_t b = 0; maker.wants_more(); ++b) {
    std::optional<SymbolBlock> block;
    std::optional<FalseHeaders> headers;
    for (std::uint64_t attempt = 0; !block && attempt < kAttempts; ++attempt) {
      const std::uint64_t seed = mix(b << 32 ^ attempt);
      headers = false_headers_for(used, lengths, symbols, false_headers, seed);
      if (!headers) continue;
      auto rest = rest_of_block(used, *headers, symbols, ~seed);
      if (!rest) continue;
      std::vector<std::uint16_t> all = headers->symbols;
      all.insert(all.end(), rest->begin(), rest->end());
      for (std::size_t h = 0; h < false_headers; ++h)
        if (all.size() - headers->ends[h] > std::uint64_t{headers->selectors[h]} * kSymbolsPerSelector)
          throw std::logic_error("a false header has too few selectors");
      block = block_from_symbols(std::move(all), used, lengths, kTables, static_cast<std::uint32_t>(seed % symbols));
    }
    if (!block) throw std::logic_error("no false headers that end on code words and join into one cycle");
    const BlockLayout layout = maker.add(block->fields, block->decoded);
    const std::uint64_t stream_start = layout.table_ends.back();
    for (std::uint64_t at : headers->starts) maker.planted().planted.push_back(stream_start + at);
  }
  return maker.finish();
}

}  // namespace morvane::test
