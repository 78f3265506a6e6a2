#include "morvane/decode/markers.hpp"

#include <algorithm>
#include <utility>

#include "morvane/constants.hpp"

namespace morvane::decode {
namespace {

// The chunk a bit offset falls in.
std::uint64_t chunk_of(std::uint64_t bit_offset) { return bit_offset / 8 / format::kScanChunkBytes; }

}  // namespace

MarkerList::MarkerList(std::span<const std::uint8_t> data, std::vector<std::vector<format::MagicKey>> chunks)
    : data_(data), chunks_(std::move(chunks)) {
  counts_.reserve(chunks_.size());
  std::uint64_t total = 0;
  for (const auto& chunk : chunks_) {
    total += chunk.size();
    counts_.push_back(total);
    blocks_ += static_cast<std::uint64_t>(
        std::count_if(chunk.begin(), chunk.end(), [](format::MagicKey key) { return (key & 1) == 0; }));
  }
}

MarkerList MarkerList::of(std::span<const std::uint8_t> data, std::span<const Marker> markers) {
  std::vector<std::vector<format::MagicKey>> chunks;
  for (const Marker& marker : markers) {
    const std::uint64_t c = chunk_of(marker.bit_offset());
    if (chunks.size() <= c) chunks.resize(c + 1);
    chunks[c].push_back(marker.key());
  }
  return MarkerList(data, std::move(chunks));
}

Marker MarkerList::operator[](std::uint64_t index) const {
  // The first chunk whose running count passes the index holds it.
  const auto c = static_cast<std::size_t>(std::upper_bound(counts_.begin(), counts_.end(), index) - counts_.begin());
  const std::uint64_t first = c == 0 ? 0 : counts_[c - 1];
  const format::MagicKey key = chunks_[c][index - first];
  return (key & 1) ? Marker::end(key >> 1) : Marker::block(key >> 1);
}

std::uint64_t MarkerList::lower_bound(std::uint64_t bit_offset) const {
  const std::uint64_t c = chunk_of(bit_offset);
  if (c >= chunks_.size()) return size();
  const auto& chunk = chunks_[c];
  const auto at = std::lower_bound(chunk.begin(), chunk.end(), format::block_key(bit_offset));
  return (c == 0 ? 0 : counts_[c - 1]) + static_cast<std::uint64_t>(at - chunk.begin());
}

std::optional<std::uint64_t> MarkerList::find(std::uint64_t bit_offset) const {
  const std::uint64_t index = lower_bound(bit_offset);
  if (index >= size() || (*this)[index].bit_offset() != bit_offset) return std::nullopt;
  return index;
}

std::uint32_t MarkerList::crc(std::uint64_t index) const {
  const std::uint64_t bit = (*this)[index].bit_offset() + kMagicBits;
  // Five bytes hold any 32 bits that start inside the first.
  std::uint64_t window = 0;
  for (std::uint64_t k = bit / 8; k < bit / 8 + 5; ++k) window = (window << 8) | (k < data_.size() ? data_[k] : 0);
  return static_cast<std::uint32_t>(window >> (8 - bit % 8));
}

Error offset_overflow() { return Error::invalid_configuration("offset arithmetic overflow"); }

}  // namespace morvane::decode
