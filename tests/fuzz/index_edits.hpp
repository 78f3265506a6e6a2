// Fuzz bytes read as a recipe, and edits of index records that the recipe
// chooses: a field moved a little, to an edge or anywhere, or a record
// dropped, repeated or swapped with another. The image and reader targets
// use them to make indexes that break one rule, or several.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "morvane/index/index.hpp"

namespace morvane::fuzz {

// Little-endian numbers from the front of the fuzz bytes; zeros once they run out.
class Recipe {
 public:
  explicit Recipe(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool done() const { return at_ >= bytes_.size(); }
  std::uint64_t take(std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{at_ < bytes_.size() ? bytes_[at_++] : 0u} << (8 * i);
    return v;
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(take(1)); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// A new value for a field: next to the old one, far past it (beyond the end
// of any input here, and still far from wrapping around), at an edge, or any.
inline std::uint64_t edited(std::uint64_t old, Recipe& r) {
  switch (r.byte() % 7) {
    case 0: return old + 1;
    case 1: return old - 1;
    case 2: return 0;
    case 3: return UINT64_MAX - r.byte();
    case 4: return old + r.take(2) - 0x8000;
    case 5: return old + (std::uint64_t{1} << (20 + r.byte() % 40));
    default: return r.take(8);
  }
}

// Edits one field of the header, of a stream or of a block, or none.
inline void edit_field(index::Index& x, Recipe& r) {
  const auto what = r.byte() % 4;
  if (what == 0) return;
  if (what == 1 || (x.streams.empty() && x.blocks.empty())) {
    auto& field = r.byte() % 2 ? x.source_bytes : x.decoded_bytes;
    field = edited(field, r);
    return;
  }
  if (what == 2 && !x.streams.empty()) {
    auto& s = x.streams[r.byte() % x.streams.size()];
    switch (r.byte() % 8) {
      case 0: s.header_byte = edited(s.header_byte, r); break;
      case 1: s.block_size_100k = static_cast<std::uint8_t>(edited(s.block_size_100k, r)); break;
      case 2: s.first_block = edited(s.first_block, r); break;
      case 3: s.block_count = edited(s.block_count, r); break;
      case 4: s.decoded_start = edited(s.decoded_start, r); break;
      case 5: s.decoded_bytes = edited(s.decoded_bytes, r); break;
      case 6: s.eos_bit = edited(s.eos_bit, r); break;
      default: s.expected_crc = static_cast<std::uint32_t>(edited(s.expected_crc, r)); break;
    }
    return;
  }
  if (x.blocks.empty()) return;
  auto& b = x.blocks[r.byte() % x.blocks.size()];
  switch (r.byte() % 6) {
    case 0: b.compressed_start_bit = edited(b.compressed_start_bit, r); break;
    case 1: b.compressed_end_bit = edited(b.compressed_end_bit, r); break;
    case 2: b.decoded_start = edited(b.decoded_start, r); break;
    case 3: b.decoded_bytes = edited(b.decoded_bytes, r); break;
    case 4: b.expected_crc = static_cast<std::uint32_t>(edited(b.expected_crc, r)); break;
    default: b.stream = edited(b.stream, r); break;
  }
}

// Drops, repeats or swaps records of one kind, or edits a field.
template <class T>
void edit_records(std::vector<T>& records, Recipe& r) {
  if (records.empty()) return;
  const std::size_t i = r.byte() % records.size(), j = r.byte() % records.size();
  switch (r.byte() % 3) {
    case 0: records.erase(records.begin() + static_cast<std::ptrdiff_t>(i)); break;
    case 1: {
      const T copy = records[j];
      records.insert(records.begin() + static_cast<std::ptrdiff_t>(i), copy);
      break;
    }
    default: std::swap(records[i], records[j]); break;
  }
}

inline void edit_index(index::Index& x, Recipe& r) {
  switch (r.byte() % 4) {
    case 0: edit_records(x.streams, r); break;
    case 1: edit_records(x.blocks, r); break;
    default: edit_field(x, r); break;
  }
}

}  // namespace morvane::fuzz
