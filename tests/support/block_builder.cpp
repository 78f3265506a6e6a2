#include "support/block_builder.hpp"

#include <algorithm>
#include <numeric>
#include <queue>
#include <stdexcept>

namespace morvane::test {
namespace {

inline constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;
inline constexpr unsigned kMaxTables = 7;  // the largest number the 3-bit field holds
inline constexpr std::size_t kMaxRun = 4 + 255;

// Moves the entry at `at` to the front, shifting the ones before it back.
void move_to_front(std::vector<std::uint8_t>& order, std::size_t at) {
  const std::uint8_t value = order[at];
  for (; at > 0; --at) order[at] = order[at - 1];
  order[0] = value;
}

// The table number of each 50-symbol group, as the decoder will see it.
std::vector<std::uint8_t> group_tables(const BlockFields& f) {
  if (!f.selectors.empty() || f.selector_codes.empty()) return f.selectors;
  std::vector<std::uint8_t> order(kMaxTables + 1);
  std::iota(order.begin(), order.end(), std::uint8_t{0});
  std::vector<std::uint8_t> tables;
  for (std::uint32_t code : f.selector_codes) {
    std::size_t at = std::min<std::size_t>(code, order.size() - 1);
    move_to_front(order, at);
    tables.push_back(order[0]);
  }
  return tables;
}

// Canonical codes: by increasing length, and by symbol within one length.
std::vector<std::uint64_t> canonical_codes(const std::vector<std::uint8_t>& lengths) {
  std::vector<std::uint64_t> codes(lengths.size());
  std::uint64_t next = 0;
  for (unsigned len = 1; len <= 32; ++len) {
    for (std::size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] == len) codes[s] = next++;
    next <<= 1;
  }
  return codes;
}

void write_selectors(BitWriter& out, const BlockFields& f, BlockLayout& layout) {
  std::vector<std::uint32_t> codes = f.selector_codes;
  if (codes.empty()) {
    // Move-to-front over 0..7: for table numbers below `tables` the positions
    // are those over 0..tables-1, and a broken selector still has a code.
    std::vector<std::uint8_t> order(kMaxTables + 1);
    std::iota(order.begin(), order.end(), std::uint8_t{0});
    for (std::uint8_t sel : f.selectors) {
      auto it = std::find(order.begin(), order.end(), sel);
      if (it == order.end()) throw std::invalid_argument("selector above 7");
      const auto at = static_cast<std::size_t>(it - order.begin());
      codes.push_back(static_cast<std::uint32_t>(at));
      move_to_front(order, at);
    }
  }
  layout.selector_count = out.pos();
  out.put(f.selector_count.value_or(static_cast<std::uint32_t>(codes.size())), 15);
  for (std::uint32_t code : codes) {
    layout.selector_starts.push_back(out.pos());
    for (std::uint32_t i = 0; i < code; ++i) out.put_bit(true);
    out.put_bit(false);
  }
}

void write_lengths(BitWriter& out, const BlockFields& f, BlockLayout& layout) {
  for (std::size_t t = 0; t < f.lengths.size(); ++t) {
    const auto& lengths = f.lengths[t];
    int current = t < f.start_lengths.size() ? f.start_lengths[t] : (lengths.empty() ? 1 : lengths[0]);
    layout.table_starts.push_back(out.pos());
    out.put(static_cast<std::uint64_t>(current), 5);
    for (std::uint8_t len : lengths) {
      for (; current < len; ++current) out.put(0b10, 2);
      for (; current > len; --current) out.put(0b11, 2);
      out.put_bit(false);
    }
    layout.table_ends.push_back(out.pos());
  }
}

void write_symbols(BitWriter& out, const BlockFields& f, BlockLayout& layout) {
  if (f.symbols.empty()) return;
  if (f.lengths.empty()) throw std::invalid_argument("symbols without a table");
  std::vector<std::vector<std::uint64_t>> codes;
  for (const auto& lengths : f.lengths) codes.push_back(canonical_codes(lengths));
  std::vector<std::uint8_t> tables = group_tables(f);
  for (std::size_t i = 0; i < f.symbols.size(); ++i) {
    std::size_t group = i / kSymbolsPerSelector;
    std::size_t t = tables.empty() ? 0 : tables[std::min(group, tables.size() - 1)];
    if (t >= codes.size()) t = 0;
    std::uint16_t sym = f.symbols[i];
    out.put(codes[t].at(sym), f.lengths[t].at(sym));
    layout.symbol_ends.push_back(out.pos());
  }
}

}  // namespace

BlockLayout write_block(BitWriter& out, const BlockFields& f) {
  BlockLayout layout;
  layout.start = out.pos();
  out.put(kBlockMagic, 48);
  layout.crc = out.pos();
  out.put(f.stored_crc, 32);
  layout.randomized = out.pos();
  out.put_bit(f.randomized);
  layout.origin = out.pos();
  out.put(f.origin, 24);

  std::uint16_t derived_map = 0;
  for (std::uint8_t b : f.used) derived_map |= static_cast<std::uint16_t>(0x8000 >> (b / 16));
  std::uint16_t group_map = f.group_map.value_or(derived_map);
  layout.group_map = out.pos();
  out.put(group_map, 16);
  for (unsigned group = 0; group < 16; ++group) {
    if (!(group_map & (0x8000 >> group))) continue;
    std::uint16_t byte_map = 0;
    for (std::uint8_t b : f.used)
      if (b / 16 == group) byte_map |= static_cast<std::uint16_t>(0x8000 >> (b % 16));
    out.put(byte_map, 16);
  }

  layout.tables = out.pos();
  out.put(f.tables, 3);
  write_selectors(out, f, layout);
  write_lengths(out, f, layout);
  write_symbols(out, f, layout);
  for (bool bit : f.tail) out.put_bit(bit);
  layout.end = out.pos();
  return layout;
}

void write_stream_header(BitWriter& out, unsigned level) {
  out.put_text("BZh");
  out.put('0' + level, 8);
}

void write_stream_end(BitWriter& out, std::uint32_t combined_crc, bool pad_with_ones) {
  out.put(kEndMagic, 48);
  out.put(combined_crc, 32);
  out.pad_to_byte(pad_with_ones);
}

std::vector<std::uint8_t> make_stream(unsigned level, std::span<const std::vector<std::uint8_t>> chunks) {
  BitWriter out;
  write_stream_header(out, level);
  std::uint32_t combined = 0;
  for (const auto& chunk : chunks) {
    BlockFields f = block_from_bytes(chunk);
    write_block(out, f);
    combined = combine_crc(combined, f.stored_crc);
  }
  write_stream_end(out, combined);
  return out.take();
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= static_cast<std::uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000) ? (crc << 1) ^ kCrcPolynomial : crc << 1;
  }
  return ~crc;
}

std::uint32_t combine_crc(std::uint32_t combined, std::uint32_t block_crc) {
  return ((combined << 1) | (combined >> 31)) ^ block_crc;
}

std::vector<std::uint8_t> initial_rle(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < data.size();) {
    std::size_t j = i;
    while (j < data.size() && data[j] == data[i] && j - i < kMaxRun) ++j;
    std::size_t run = j - i;
    if (run >= 4) {
      out.insert(out.end(), 4, data[i]);
      out.push_back(static_cast<std::uint8_t>(run - 4));
    } else {
      out.insert(out.end(), run, data[i]);
    }
    i = j;
  }
  return out;
}

std::vector<std::uint8_t> undo_initial_rle(std::span<const std::uint8_t> rle) {
  std::vector<std::uint8_t> out;
  int previous = -1;
  unsigned count = 0;
  for (std::uint8_t b : rle) {
    if (count == 4) {
      out.insert(out.end(), b, static_cast<std::uint8_t>(previous));
      count = 0;
      previous = -1;
    } else {
      count = b == previous ? count + 1 : 1;
      previous = b;
      out.push_back(b);
    }
  }
  return out;
}

Bwt bwt(std::span<const std::uint8_t> block) {
  const std::size_t n = block.size();
  if (n == 0) return {};
  // Prefix doubling over the cyclic rotations: after the round of width k the
  // ranks order the rotations by their first 2k bytes.
  std::vector<std::uint32_t> rank(block.begin(), block.end()), next(n);
  std::vector<std::uint32_t> order(n);
  std::vector<std::uint64_t> key(n);
  std::iota(order.begin(), order.end(), 0u);
  for (std::size_t k = 1;; k *= 2) {
    for (std::size_t i = 0; i < n; ++i) key[i] = std::uint64_t{rank[i]} << 32 | rank[(i + k) % n];
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return key[a] < key[b]; });
    next[order[0]] = 0;
    for (std::size_t j = 1; j < n; ++j)
      next[order[j]] = next[order[j - 1]] + (key[order[j]] != key[order[j - 1]] ? 1 : 0);
    rank.swap(next);
    if (rank[order[n - 1]] == n - 1 || k >= n) break;
  }
  Bwt result;
  result.last.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    result.last[j] = block[(order[j] + n - 1) % n];
    if (order[j] == 0) result.origin = static_cast<std::uint32_t>(j);
  }
  return result;
}

std::vector<std::uint16_t> run_symbols(std::uint64_t count) {
  std::vector<std::uint16_t> out;
  while (count > 0) {
    if (count & 1) {
      out.push_back(kRunA);
      count = (count - 1) / 2;
    } else {
      out.push_back(kRunB);
      count = (count - 2) / 2;
    }
  }
  return out;
}

BlockFields run_block(std::uint32_t entries) {
  BlockFields f;
  f.used = {0xFF};
  f.tables = 2;
  f.selectors = {0};
  f.lengths = {{2, 2, 2}, {2, 2, 2}};
  f.symbols = run_symbols(entries);
  f.symbols.push_back(f.end_of_block());
  return f;
}

std::vector<std::uint16_t> mtf_symbols(std::span<const std::uint8_t> last, std::span<const std::uint8_t> used) {
  std::vector<std::uint8_t> order(used.begin(), used.end());
  std::vector<std::uint16_t> out;
  std::uint64_t zeros = 0;
  auto flush = [&] {
    auto digits = run_symbols(zeros);
    out.insert(out.end(), digits.begin(), digits.end());
    zeros = 0;
  };
  for (std::uint8_t b : last) {
    auto it = std::find(order.begin(), order.end(), b);
    if (it == order.end()) throw std::invalid_argument("byte not in the used set");
    if (it == order.begin()) {
      ++zeros;
      continue;
    }
    flush();
    const auto at = static_cast<std::size_t>(it - order.begin());
    out.push_back(static_cast<std::uint16_t>(at + 1));
    move_to_front(order, at);
  }
  flush();
  out.push_back(static_cast<std::uint16_t>(used.size() + 1));
  return out;
}

std::vector<std::uint8_t> code_lengths(std::span<const std::uint64_t> weights, unsigned max_length) {
  const std::size_t n = weights.size();
  if (n < 2) return std::vector<std::uint8_t>(n, 1);
  std::vector<std::uint64_t> w(weights.begin(), weights.end());
  for (;;) {
    // Plain Huffman; when too deep, flatten the weights and try again.
    std::vector<std::size_t> parent(2 * n - 1, 0);
    using Node = std::pair<std::uint64_t, std::size_t>;
    std::priority_queue<Node, std::vector<Node>, std::greater<>> heap;
    for (std::size_t i = 0; i < n; ++i) heap.push({w[i], i});
    for (std::size_t next = n; heap.size() > 1; ++next) {
      auto [wa, a] = heap.top();
      heap.pop();
      auto [wb, b] = heap.top();
      heap.pop();
      parent[a] = parent[b] = next;
      heap.push({wa + wb, next});
    }
    std::vector<std::uint8_t> lengths(n);
    unsigned deepest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      unsigned depth = 0;
      for (std::size_t at = i; at != 2 * n - 2; at = parent[at]) ++depth;
      lengths[i] = static_cast<std::uint8_t>(std::min(depth, 255u));
      deepest = std::max(deepest, depth);
    }
    if (deepest <= max_length) return lengths;
    for (auto& x : w) x = 1 + x / 2;
  }
}

void fit_selectors(BlockFields& f) {
  std::size_t groups = std::max<std::size_t>(1, (f.symbols.size() + kSymbolsPerSelector - 1) / kSymbolsPerSelector);
  f.selectors.resize(groups);
  for (std::size_t g = 0; g < groups; ++g) f.selectors[g] = static_cast<std::uint8_t>(g % std::max(f.tables, 1u));
}

void fit_lengths(BlockFields& f) {
  std::vector<std::vector<std::uint64_t>> weights(f.tables, std::vector<std::uint64_t>(f.alphabet(), 1));
  for (std::size_t i = 0; i < f.symbols.size(); ++i) {
    std::size_t group = std::min(i / kSymbolsPerSelector, f.selectors.size() - 1);
    weights.at(f.selectors[group]).at(f.symbols[i]) += 1;
  }
  f.lengths.clear();
  for (const auto& table : weights) f.lengths.push_back(code_lengths(table));
}

BlockFields block_from_rle(std::span<const std::uint8_t> rle, unsigned tables) {
  BlockFields f;
  f.stored_crc = crc32(undo_initial_rle(rle));
  Bwt t = bwt(rle);
  f.origin = t.origin;
  std::vector<bool> seen(256);
  for (std::uint8_t b : rle) seen[b] = true;
  for (unsigned b = 0; b < 256; ++b)
    if (seen[b]) f.used.push_back(static_cast<std::uint8_t>(b));
  f.symbols = mtf_symbols(t.last, f.used);
  f.tables = tables;
  fit_selectors(f);
  fit_lengths(f);
  return f;
}

BlockFields block_from_bytes(std::span<const std::uint8_t> data, unsigned tables) {
  return block_from_rle(initial_rle(data), tables);
}

}  // namespace morvane::test
