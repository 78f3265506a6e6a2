// The four-byte stream header: "BZh" and the level digit '1'..'9'.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace morvane {

inline constexpr std::uint64_t kStreamHeaderBytes = 4;

// The level (1..9) of the stream header at byte `at`, or nothing when the four
// bytes there are not one or do not all lie inside `data`.
inline std::optional<std::uint8_t> stream_header_level(std::span<const std::uint8_t> data, std::uint64_t at) {
  if (at > data.size() || data.size() - at < kStreamHeaderBytes) return std::nullopt;
  const std::uint8_t* p = data.data() + at;
  if (p[0] != 'B' || p[1] != 'Z' || p[2] != 'h' || p[3] < '1' || p[3] > '9') return std::nullopt;
  return static_cast<std::uint8_t>(p[3] - '0');
}

}  // namespace morvane
