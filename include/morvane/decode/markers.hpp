// The marker list: every block and end-of-stream magic the scan found, true or
// false, in ascending bit order. A marker is named by its position in this
// list (its marker index) everywhere in the engine. The list is what the scan
// left, eight bytes a marker in the scan's own chunks, never joined into one
// copy: an index is found through the chunks' running counts, an offset
// through its chunk. The stored CRC after a magic is read from the input when
// it is wanted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvane/error.hpp"
#include "morvane/format/scan.hpp"

namespace morvane::decode {

// One marker: a plain value.
class Marker {
 public:
  static constexpr Marker block(std::uint64_t bit_offset) { return Marker(format::block_key(bit_offset)); }
  static constexpr Marker end(std::uint64_t bit_offset) { return Marker(format::end_key(bit_offset)); }

  // The first bit of the marker's 48-bit magic: the sort and lookup key.
  constexpr std::uint64_t bit_offset() const { return key_ >> 1; }
  constexpr bool is_block() const { return (key_ & 1) == 0; }
  constexpr bool is_end() const { return (key_ & 1) != 0; }
  constexpr format::MagicKey key() const { return key_; }
  bool operator==(const Marker&) const = default;

 private:
  explicit constexpr Marker(format::MagicKey key) : key_(key) {}
  format::MagicKey key_;
};

// Shared read-only between threads once built.
class MarkerList {
 public:
  MarkerList() = default;
  // The scan's chunks of the input `data` (which the list reads CRCs from).
  MarkerList(std::span<const std::uint8_t> data, std::vector<std::vector<format::MagicKey>> chunks);
  // Markers in ascending, distinct offsets, cut into chunks here (for tests).
  static MarkerList of(std::span<const std::uint8_t> data, std::span<const Marker> markers);

  std::uint64_t size() const { return counts_.empty() ? 0 : counts_.back(); }
  bool empty() const { return size() == 0; }
  Marker operator[](std::uint64_t index) const;
  // The index of the marker at exactly `bit_offset`, if any.
  std::optional<std::uint64_t> find(std::uint64_t bit_offset) const;
  // The first marker index at or after `bit_offset` (size() if none).
  std::uint64_t lower_bound(std::uint64_t bit_offset) const;
  // The 32 bits after the magic: the stored block CRC, or the stream's
  // combined CRC after an end-of-stream magic (the scan checked they fit).
  std::uint32_t crc(std::uint64_t index) const;
  // How many block markers the list holds.
  std::uint64_t block_count() const { return blocks_; }

 private:
  std::span<const std::uint8_t> data_;
  std::vector<std::vector<format::MagicKey>> chunks_;
  std::vector<std::uint64_t> counts_;  // counts_[c]: markers in chunks 0..c
  std::uint64_t blocks_ = 0;
};

// The most block markers an input of `input_len` bytes may hold before the
// engine stops speculating and decodes it serially: one per 16 input bytes
// plus 64. Only block markers count: only they cost a speculative decode.
inline constexpr std::uint64_t marker_cap(std::uint64_t input_len) { return (input_len >> 4) + 64; }

// The engine's one error for a bit, byte or decoded offset past 2^64 - 1.
Error offset_overflow();

}  // namespace morvane::decode
