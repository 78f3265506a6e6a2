// The four-byte stream header, "BZh" and the level digit: the one reader of it,
// for the decoders, the scan and the walk alike.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "morvane/constants.hpp"
#include "morvane/error.hpp"

namespace morvane {

// What stands where a stream header should, in the order it is checked.
enum class StreamHeaderFault : std::uint8_t {
  Short,     // fewer than four bytes are left
  NotMagic,  // the first three bytes are not "BZh"
  BadLevel,  // the digit is not '1'..'9'
};

// The level of the stream header at byte `at` of `data`, or its first fault.
inline std::expected<std::uint8_t, StreamHeaderFault> read_stream_header(std::span<const std::uint8_t> data,
                                                                         std::uint64_t at) {
  if (at > data.size() || data.size() - at < kStreamHeaderBytes) return std::unexpected(StreamHeaderFault::Short);
  const std::uint8_t* p = data.data() + at;
  if (p[0] != kStreamMagic[0] || p[1] != kStreamMagic[1] || p[2] != kStreamMagic[2]) {
    return std::unexpected(StreamHeaderFault::NotMagic);
  }
  const int level = p[3] - '0';
  if (level < kMinLevel || level > kMaxLevel) return std::unexpected(StreamHeaderFault::BadLevel);
  return static_cast<std::uint8_t>(level);
}

// The level, or nothing when the four bytes at `at` are not a stream header.
inline std::optional<std::uint8_t> stream_header_level(std::span<const std::uint8_t> data, std::uint64_t at) {
  auto level = read_stream_header(data, at);
  return level ? std::optional<std::uint8_t>(*level) : std::nullopt;
}

// The decode error of a fault in the header whose first bit is `header_bit`:
// Truncated or InvalidMagic there, InvalidLevel at the level digit.
inline Error stream_header_error(StreamHeaderFault fault, std::uint64_t header_bit) {
  switch (fault) {
    case StreamHeaderFault::Short: return Error::decode(header_bit, DecodeError::Truncated);
    case StreamHeaderFault::NotMagic: return Error::decode(header_bit, DecodeError::InvalidMagic);
    case StreamHeaderFault::BadLevel: break;
  }
  return Error::decode(header_bit + kLevelDigitBit, DecodeError::InvalidLevel);
}

}  // namespace morvane
