// The coding tables of a block: how many, the selector of every group of 50
// symbols (move-to-front coded in unary), and each table's delta-coded lengths.
#include <algorithm>
#include <bit>

#include "morvane/decoder/stages.hpp"

namespace morvane::decoder::stages {

namespace {

// A wanted() check after this many selectors or code-length steps: a false
// candidate's header can announce 32767 selectors, and a code length may
// step up and down for as long as its bits say so.
inline constexpr unsigned kStepsPerCheck = 4096;

// One selector's unary code: the count of one bits before the zero. A count
// reaching `tables` is InvalidBlock right after that one bit.
Result<unsigned> read_unary(Bits& bits, unsigned tables) {
  // Fast path: at least 64 bits left, so the window holds the whole code
  // (at most kMaxTables bits); same result and position as the bitwise path.
  if (bits.remaining() >= 64) {
    const auto ones = static_cast<unsigned>(std::countl_one(bits.window()));
    if (ones >= tables) {
      bits.set_pos(bits.pos() + tables);
      return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));
    }
    bits.set_pos(bits.pos() + ones + 1);
    return ones;
  }
  unsigned position = 0;
  for (;;) {
    auto bit = bits.bit();
    if (!bit) return fail(std::move(bit.error()));
    if (!*bit) return position;
    if (++position == tables) return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));
  }
}

}  // namespace

Result<bool> read_tables(Bits& bits, unsigned alphabet, CodingTables& out, const Wanted& wanted) {
  auto count = bits.read(3);
  if (!count) return fail(std::move(count.error()));
  const unsigned tables = *count;
  if (tables < kMinTables || tables > kMaxTables) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));

  auto selector_count = bits.read(15);
  if (!selector_count) return fail(std::move(selector_count.error()));
  if (*selector_count == 0) return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));

  std::array<std::uint8_t, kMaxTables> order{0, 1, 2, 3, 4, 5};
  out.selectors.resize(*selector_count);
  for (std::size_t i = 0; i < out.selectors.size(); ++i) {
    if (i % kStepsPerCheck == kStepsPerCheck - 1 && !wanted()) return false;
    auto unary = read_unary(bits, tables);
    if (!unary) return fail(std::move(unary.error()));
    const unsigned position = *unary;
    const std::uint8_t table = order[position];
    std::copy_backward(order.begin(), order.begin() + position, order.begin() + position + 1);
    order[0] = table;
    out.selectors[i] = table;
  }

  out.tables.clear();
  std::array<std::uint8_t, 258> lengths{};
  unsigned steps = 0;
  for (unsigned t = 0; t < tables; ++t) {
    auto start = bits.read(5);
    if (!start) return fail(std::move(start.error()));
    int len = static_cast<int>(*start);
    for (unsigned symbol = 0; symbol < alphabet; ++symbol) {
      const auto out_of_range = [&] { return len < 1 || len > static_cast<int>(kMaxCodeLength); };
      if (out_of_range()) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
      for (;;) {
        if (++steps == kStepsPerCheck) {
          steps = 0;
          if (!wanted()) return false;
        }
        auto more = bits.bit();
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        auto down = bits.bit();
        if (!down) return fail(std::move(down.error()));
        len += *down ? -1 : 1;
        if (out_of_range()) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
      }
      lengths[symbol] = static_cast<std::uint8_t>(len);
    }
    auto table = Huffman::build(std::span(lengths.data(), alphabet), bits.pos());
    if (!table) return fail(std::move(table.error()));
    out.tables.push_back(std::move(*table));
  }
  return true;
}

}  // namespace morvane::decoder::stages
