// Human-readable byte counts and the fixed-point rendering they share with the
// progress line. Header-only so the unit tests can reach them directly.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace morvane::cli {

// Fixed-point text with `decimals` digits after the point, padded on the left
// to `width`. printf gives the correctly rounded decimal of the binary value,
// with exact ties to the even digit (1.25 -> "1.2", 1.75 -> "1.8").
inline std::string fixed_point(double value, int decimals, int width = 0) {
  std::array<char, 64> buf{};
  int n = std::snprintf(buf.data(), buf.size(), "%*.*f", width, decimals, value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');  // huge values: 1e300 TiB and the like
  std::snprintf(big.data(), big.size(), "%*.*f", width, decimals, value);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

// Units after plain bytes; each is 1024 of the one before. TiB is the largest.
inline constexpr std::array<const char*, 4> kSizeUnits = {"KiB", "MiB", "GiB", "TiB"};
inline constexpr double kUnitStep = 1024.0;

// "1023 B", "1.0 KiB", "1024.0 KiB" (the unit is chosen before rounding),
// "2048.0 TiB".
inline std::string size_text(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / kUnitStep;
  std::size_t unit = 0;
  while (value >= kUnitStep && unit + 1 < kSizeUnits.size()) {
    value /= kUnitStep;
    ++unit;
  }
  return fixed_point(value, 1) + " " + kSizeUnits[unit];
}

}  // namespace morvane::cli
