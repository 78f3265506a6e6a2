#include "morvane/decode/chain.hpp"

#include "morvane/constants.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::decode {
namespace {

// The marker right after the stream header at byte `header`, if one is there.
std::optional<std::uint64_t> after_header(std::span<const std::uint8_t> data, const MarkerList& markers,
                                          std::uint64_t header) {
  if (!stream_header_level(data, header) || header > (UINT64_MAX - kStreamHeaderBits) / 8) return std::nullopt;
  return markers.find(8 * header + kStreamHeaderBits);
}

// Follows end-of-stream markers from marker `at` to the first block marker.
std::optional<std::uint64_t> block_from(std::span<const std::uint8_t> data, const MarkerList& markers,
                                        std::optional<std::uint64_t> at) {
  while (at) {
    const Marker marker = markers[*at];
    if (marker.is_block()) return at;
    const std::uint64_t end = marker.bit_offset();
    if (end > UINT64_MAX - kEndRecordPaddedBits) return std::nullopt;
    at = after_header(data, markers, (end + kEndRecordPaddedBits) / 8);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> next_chain_block(std::span<const std::uint8_t> data, const MarkerList& markers,
                                              std::uint64_t end_bit) {
  return block_from(data, markers, markers.find(end_bit));
}

std::optional<std::uint64_t> first_chain_block(std::span<const std::uint8_t> data, const MarkerList& markers,
                                               std::uint64_t header_byte) {
  return block_from(data, markers, after_header(data, markers, header_byte));
}

}  // namespace morvane::decode
