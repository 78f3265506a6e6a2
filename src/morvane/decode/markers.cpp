#include "morvane/decode/markers.hpp"

#include <algorithm>
#include <utility>

namespace morvane::decode {

Result<std::vector<Marker>> collect_markers(format::ScanResult scan, std::uint64_t input_len) {
  std::vector<Marker> markers;
  markers.reserve(scan.blocks.size() + scan.ends.size());
  for (const auto& block : scan.blocks) markers.emplace_back(block);
  for (const auto& end : scan.ends) markers.emplace_back(end);

  auto by_offset = [](const Marker& a, const Marker& b) { return a.bit_offset() < b.bit_offset(); };
  std::sort(markers.begin(), markers.end(), by_offset);
  auto same_offset = [](const Marker& a, const Marker& b) { return a.bit_offset() == b.bit_offset(); };
  markers.erase(std::unique(markers.begin(), markers.end(), same_offset), markers.end());

  if (block_marker_count(markers) > marker_cap(input_len)) {
    return fail(Error::invalid_configuration("input contains too many speculative markers"));
  }
  return markers;
}

std::uint64_t block_marker_count(std::span<const Marker> markers) {
  return static_cast<std::uint64_t>(
      std::count_if(markers.begin(), markers.end(), [](const Marker& m) { return m.block() != nullptr; }));
}

std::optional<std::uint64_t> find_marker(std::span<const Marker> markers, std::uint64_t bit_offset) {
  if (markers.empty()) return std::nullopt;
  // Halving search that keeps `base` at the last key not above the wanted one.
  std::size_t base = 0;
  std::size_t size = markers.size();
  while (size > 1) {
    std::size_t half = size / 2;
    std::size_t mid = base + half;
    if (markers[mid].bit_offset() <= bit_offset) base = mid;
    size -= half;
  }
  if (markers[base].bit_offset() != bit_offset) return std::nullopt;
  return base;
}

Error offset_overflow() { return Error::invalid_configuration("offset arithmetic overflow"); }

}  // namespace morvane::decode
