#include "support/symbol_block.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "morvane/decoder/crc32.hpp"

namespace morvane::test {
namespace {

constexpr unsigned kMaxRunDigits = 31;
constexpr unsigned kRunBytes = 4;  // equal bytes after which the final stage reads a repeat count

}  // namespace

bool awaits_count(std::span<const std::uint8_t> walk) {
  unsigned equal = 0;
  int previous = -1;
  for (std::uint8_t byte : walk) {
    if (equal == kRunBytes) {
      equal = 0;
      previous = -1;
    } else {
      equal = byte == previous ? equal + 1 : 1;
      previous = byte;
    }
  }
  return equal == kRunBytes;
}

SymbolBudget::SymbolBudget(std::size_t used_bytes, std::uint64_t limit)
    : end_of_block_(static_cast<std::uint16_t>(used_bytes + 1)), limit_(limit) {}

bool SymbolBudget::take(std::uint16_t symbol) {
  if (symbol >= end_of_block_) return false;
  if (symbol == kRunA || symbol == kRunB) {
    if (digits_ == kMaxRunDigits) return false;
    const std::uint64_t run = run_ + ((std::uint64_t{symbol} + 1) << digits_);
    if (entries_ + run > limit_) return false;
    run_ = run;
    ++digits_;
    return true;
  }
  if (entries_ + run_ + 1 > limit_) return false;
  entries_ += run_ + 1;
  run_ = 0;
  digits_ = 0;
  return true;
}

std::vector<std::uint8_t> column_of(std::span<const std::uint16_t> symbols, std::vector<std::uint8_t>& order) {
  const std::size_t end_of_block = order.size() + 1;
  std::vector<std::uint8_t> column;
  std::uint64_t run = 0;
  unsigned digits = 0;
  for (std::uint16_t symbol : symbols) {
    if (symbol == kRunA || symbol == kRunB) {
      run += (std::uint64_t{symbol} + 1) << digits++;
      continue;
    }
    column.insert(column.end(), run, order.front());
    run = 0;
    digits = 0;
    if (symbol == end_of_block) break;
    const std::size_t at = symbol - 1u;
    const std::uint8_t byte = order.at(at);
    std::copy_backward(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(at),
                       order.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    order.front() = byte;
    column.push_back(byte);
  }
  return column;
}

std::vector<std::uint32_t> links_of(std::span<const std::uint8_t> column) {
  std::array<std::uint32_t, 256> start{};
  for (std::uint8_t byte : column) ++start[byte];
  std::uint32_t sum = 0;
  for (auto& count : start) sum += std::exchange(count, sum);
  std::vector<std::uint32_t> links(column.size());
  for (std::uint32_t i = 0; i < column.size(); ++i) links[start[column[i]]++] = i;
  return links;
}

bool join_cycles(std::vector<std::uint8_t>& column, std::size_t from) {
  const std::vector<std::uint32_t> links = links_of(column);
  // A cycle that never reaches `from` cannot be joined; finding one costs
  // a walk over the entries before `from` alone.
  std::vector<bool> seen(from);
  for (std::uint32_t i = 0; i < from; ++i) {
    if (seen[i]) continue;
    std::uint32_t at = i;
    while (at < from && !seen[at]) {
      seen[at] = true;
      at = links[at];
    }
    if (at == i) return false;
  }
  std::vector<std::uint32_t> cycle(column.size(), UINT32_MAX);
  std::uint32_t cycles = 0;
  for (std::uint32_t i = 0; i < column.size(); ++i) {
    if (cycle[i] != UINT32_MAX) continue;
    for (std::uint32_t at = i; cycle[at] == UINT32_MAX; at = links[at]) cycle[at] = cycles;
    ++cycles;
  }
  // Swapping entries i and i + 1 (unequal bytes) swaps the two places that
  // link to them and leaves every other link: two cycles become one.
  std::vector<std::uint32_t> parent(cycles);
  std::iota(parent.begin(), parent.end(), 0u);
  const auto root = [&](std::uint32_t c) {
    while (parent[c] != c) c = parent[c] = parent[parent[c]];
    return c;
  };
  std::uint32_t left = cycles;
  for (std::size_t i = from; left > 1 && i + 1 < column.size(); ++i) {
    const std::uint32_t a = root(cycle[i]), b = root(cycle[i + 1]);
    if (a == b || column[i] == column[i + 1]) continue;
    std::swap(column[i], column[i + 1]);
    parent[a] = b;
    --left;
  }
  return left <= 1;
}

std::vector<std::uint8_t> walk_of(std::span<const std::uint8_t> column, std::uint32_t origin) {
  const std::vector<std::uint32_t> links = links_of(column);
  std::vector<std::uint8_t> walk;
  walk.reserve(column.size());
  for (std::uint32_t at = links.at(origin); walk.size() < column.size(); at = links[at]) walk.push_back(column[at]);
  return walk;
}

std::optional<SymbolBlock> block_from_symbols(std::vector<std::uint16_t> symbols, std::vector<std::uint8_t> used,
                                              const std::vector<std::uint8_t>& lengths, unsigned tables,
                                              std::uint32_t origin) {
  std::vector<std::uint8_t> order = used;
  const std::vector<std::uint8_t> column = column_of(symbols, order);
  if (origin >= column.size()) throw std::invalid_argument("origin pointer past the column");
  const std::vector<std::uint8_t> walk = walk_of(column, origin);
  if (awaits_count(walk)) return std::nullopt;
  SymbolBlock block;
  block.decoded = undo_initial_rle(walk);
  BlockFields& f = block.fields;
  f.origin = origin;
  f.stored_crc = decoder::crc32_bzip2(block.decoded);
  f.used = std::move(used);
  f.tables = tables;
  f.selectors.assign((symbols.size() + kSymbolsPerSelector - 1) / kSymbolsPerSelector, 0);
  f.lengths.assign(tables, lengths);
  f.symbols = std::move(symbols);
  return block;
}

}  // namespace morvane::test
