// The marker list: every block and end-of-stream magic the scan found, true or
// false, as one list sorted by bit offset. A marker is named by its position
// in this list (its marker index) everywhere in the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "morvane/error.hpp"
#include "morvane/format/scan.hpp"

namespace morvane::decode {

// A plain value: the marker list is shared read-only between threads.
class Marker {
 public:
  using Block = format::BlockCandidate;
  using End = format::EndCandidate;

  Marker(Block block) : value_(block) {}  // NOLINT: a marker is one of the two candidates
  Marker(End end) : value_(end) {}        // NOLINT

  // The first bit of the marker's 48-bit magic: the sort and lookup key.
  std::uint64_t bit_offset() const {
    return std::visit([](const auto& candidate) { return candidate.bit_offset; }, value_);
  }
  const Block* block() const { return std::get_if<Block>(&value_); }
  const End* end() const { return std::get_if<End>(&value_); }

 private:
  std::variant<Block, End> value_;
};

// The scan's block and end candidates as one list, ascending by bit offset with
// one marker per offset (stream-header candidates are dropped: the walk reads
// each header itself). Only block markers cost a speculative decode, so only
// they count against the cap of one per 16 input bytes plus 64;
// InvalidConfiguration "input contains too many speculative markers" above it.
Result<std::vector<Marker>> collect_markers(format::ScanResult scan, std::uint64_t input_len);

// How many of `markers` are block markers (each one a decode to run).
std::uint64_t block_marker_count(std::span<const Marker> markers);

// The most block markers an input of `input_len` bytes may hold.
inline constexpr std::uint64_t marker_cap(std::uint64_t input_len) { return (input_len >> 4) + 64; }

// The index of the marker whose bit offset is exactly `bit_offset`, if any.
std::optional<std::uint64_t> find_marker(std::span<const Marker> markers, std::uint64_t bit_offset);

// The engine's one error for a bit, byte or decoded offset past 2^64 - 1.
Error offset_overflow();

}  // namespace morvane::decode
