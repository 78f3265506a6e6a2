#include "morvane/decoder/huffman.hpp"

#include <algorithm>

namespace morvane::decoder {

Result<Huffman> Huffman::build(std::span<const std::uint8_t> lengths, std::uint64_t bit_offset) {
  const auto invalid = [&] { return fail(Error::decode(bit_offset, DecodeError::InvalidHuffman)); };
  if (lengths.empty()) return invalid();
  const auto [lo, hi] = std::minmax_element(lengths.begin(), lengths.end());
  if (*lo == 0 || *hi > kMaxCodeLength) return invalid();

  std::array<std::uint32_t, kMaxCodeLength + 1> count{};
  for (const std::uint8_t len : lengths) ++count[len];

  // Canonical codes: the first code of each length, refusing an
  // over-subscribed code space (an incomplete one is accepted).
  std::array<std::uint32_t, kMaxCodeLength + 1> next{};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    code = (code + count[len - 1]) * 2;
    if (code + count[len] > (std::uint32_t{1} << len)) return invalid();
    next[len] = code;
  }

  Huffman table;
  table.min_len_ = *lo;
  table.max_len_ = *hi;
  table.fast_ = std::make_unique<std::uint32_t[]>(kFastEntries);  // zeroed: no code
  for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    const unsigned len = lengths[symbol];
    const std::uint32_t c = next[len]++;
    if (len > kFastBits) continue;
    const std::uint32_t entry = static_cast<std::uint32_t>(symbol) | len << kEntryLengthShift;
    std::uint32_t* const fast = table.fast_.get();
    std::fill(fast + (c << (kFastBits - len)), fast + ((c + 1) << (kFastBits - len)), entry);
  }

  table.perm_.reserve(lengths.size());
  for (unsigned len = table.min_len_; len <= table.max_len_; ++len) {
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      if (lengths[symbol] == len) table.perm_.push_back(static_cast<std::uint16_t>(symbol));
    }
  }

  // limit[L]: the largest code of length L; base[L]: what to subtract from a
  // code of length L to get its place in perm.
  std::int32_t below = 0;
  for (unsigned len = 0; len <= kMaxCodeLength; ++len) {
    table.base_[len] = below;
    below += static_cast<std::int32_t>(count[len]);
  }
  std::int32_t v = 0;
  for (unsigned len = table.min_len_; len <= table.max_len_; ++len) {
    v += static_cast<std::int32_t>(count[len]);
    table.limit_[len] = v - 1;
    v *= 2;
  }
  for (unsigned len = table.min_len_ + 1u; len <= table.max_len_; ++len) {
    table.base_[len] = (table.limit_[len - 1] + 1) * 2 - table.base_[len];
  }
  table.base_[table.min_len_] = 0;
  for (unsigned len = 0; len <= kMaxCodeLength; ++len) {
    if (len < table.min_len_ || len > table.max_len_) table.base_[len] = 0;
  }
  return table;
}

std::uint32_t Huffman::walk(std::uint64_t window) const {
  unsigned len = min_len_;
  for (;;) {
    const auto code = static_cast<std::int32_t>(window >> (64 - len));
    if (code <= limit_[len]) {
      const std::int32_t i = code - base_[len];
      if (i < 0 || static_cast<std::size_t>(i) >= perm_.size()) return kEntryInvalid | len << kEntryLengthShift;
      return perm_[static_cast<std::size_t>(i)] | len << kEntryLengthShift;
    }
    if (len == max_len_) return kEntryInvalid | len << kEntryLengthShift;
    ++len;
  }
}

Result<std::uint16_t> Huffman::decode(Bits& bits) const {
  const std::uint64_t remaining = bits.remaining();
  if (remaining >= kFastBits) {
    const std::uint32_t entry = fast_[bits.peek_unchecked(kFastBits)];
    if (entry != 0) {
      bits.set_pos(bits.pos() + (entry >> kEntryLengthShift));
      return static_cast<std::uint16_t>(entry);
    }
  }
  // With the whole longest code in reach the walk can run on one window.
  if (remaining >= max_len_) {
    const std::uint32_t entry = walk(bits.window());
    bits.set_pos(bits.pos() + ((entry >> kEntryLengthShift) & 0xFF));
    if (entry & kEntryInvalid) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
    return static_cast<std::uint16_t>(entry);
  }
  // Bit by bit near the end of the input, where the input may run out.
  if (remaining < min_len_) return fail(Error::decode(bits.pos(), DecodeError::Truncated));
  std::int32_t code = static_cast<std::int32_t>(bits.read(min_len_).value());
  for (unsigned len = min_len_;; ++len) {
    if (code <= limit_[len]) {
      const std::int32_t i = code - base_[len];
      if (i < 0 || static_cast<std::size_t>(i) >= perm_.size()) {
        return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
      }
      return perm_[static_cast<std::size_t>(i)];
    }
    if (len == max_len_) return fail(Error::decode(bits.pos(), DecodeError::InvalidHuffman));
    auto bit = bits.bit();
    if (!bit) return fail(std::move(bit.error()));
    code = code * 2 + (*bit ? 1 : 0);
  }
}

}  // namespace morvane::decoder
