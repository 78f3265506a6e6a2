// The coding tables of a block: how many, the selector of every group of 50
// symbols (move-to-front coded in unary), and each table's delta-coded lengths.
#include <algorithm>

#include "morvane/decoder/stages.hpp"

namespace morvane::decoder::stages {

Result<void> read_tables(Bits& bits, unsigned alphabet, CodingTables& out) {
  auto count = bits.read(3);
  if (!count) return fail(std::move(count.error()));
  const unsigned tables = *count;
  if (tables < kMinTables || tables > kMaxTables) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));

  auto selector_count = bits.read(15);
  if (!selector_count) return fail(std::move(selector_count.error()));
  if (*selector_count == 0) return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));

  std::array<std::uint8_t, kMaxTables> order{0, 1, 2, 3, 4, 5};
  out.selectors.resize(*selector_count);
  for (auto& selector : out.selectors) {
    unsigned position = 0;
    for (;;) {
      auto bit = bits.bit();
      if (!bit) return fail(std::move(bit.error()));
      if (!*bit) break;
      if (++position == tables) return fail(Error::decode(bits.pos(), DecodeError::InvalidBlock));
    }
    const std::uint8_t table = order[position];
    std::copy_backward(order.begin(), order.begin() + position, order.begin() + position + 1);
    order[0] = table;
    selector = table;
  }

  out.tables.clear();
  std::array<std::uint8_t, 258> lengths{};
  for (unsigned t = 0; t < tables; ++t) {
    auto start = bits.read(5);
    if (!start) return fail(std::move(start.error()));
    int len = static_cast<int>(*start);
    for (unsigned symbol = 0; symbol < alphabet; ++symbol) {
      const auto out_of_range = [&] { return len < 1 || len > static_cast<int>(kMaxCodeLength); };
      if (out_of_range()) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
      for (;;) {
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
  return {};
}

}  // namespace morvane::decoder::stages
