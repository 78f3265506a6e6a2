// The figures and the text of the progress line, apart from the clock and the
// terminal: pure functions so the unit tests can pin every rendering rule.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

#include "size_text.hpp"

namespace morvane::cli {

// Elapsed time below this counts as this, so the speed stays finite.
inline constexpr double kMinSeconds = 0.001;

// Converts to u64 by truncation toward zero, saturating at both ends; NaN is 0.
// (An out-of-range float-to-integer conversion is undefined in C++.)
inline std::uint64_t saturating_u64(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return UINT64_MAX;  // 2^64
  return static_cast<std::uint64_t>(value);
}

struct ProgressFigures {
  std::uint64_t done;     // compressed bytes consumed, at most the total
  double percent;         // of the compressed input
  double ratio;           // decoded bytes per compressed byte
  std::uint64_t speed;    // decoded bytes per second, truncated
  std::uint64_t eta;      // whole seconds left
};

inline ProgressFigures progress_figures(std::uint64_t position, std::uint64_t decoded, std::uint64_t total,
                                        double elapsed_seconds) {
  ProgressFigures f{};
  f.done = position < total ? position : total;
  f.percent = total == 0 ? 100.0 : 100.0 * static_cast<double>(f.done) / static_cast<double>(total);
  double seconds = elapsed_seconds < kMinSeconds ? kMinSeconds : elapsed_seconds;
  f.ratio = f.done == 0 ? 0.0 : static_cast<double>(decoded) / static_cast<double>(f.done);
  f.speed = saturating_u64(static_cast<double>(decoded) / seconds);
  if (f.done > 0 && position < total) {
    double left = static_cast<double>(total - f.done) * seconds / static_cast<double>(f.done);
    f.eta = saturating_u64(std::round(left < 0.0 ? 0.0 : left));  // halves away from zero
  }
  return f;
}

// "59s", "1m00s", "59m59s", "1h00m", "25h01m" (seconds are dropped from an hour on).
inline std::string eta_text(std::uint64_t s) {
  std::array<char, 48> buf{};
  if (s < 60) {
    std::snprintf(buf.data(), buf.size(), "%llus", static_cast<unsigned long long>(s));
  } else if (s < 3600) {
    std::snprintf(buf.data(), buf.size(), "%llum%02llus", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
  } else {
    std::snprintf(buf.data(), buf.size(), "%lluh%02llum", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>((s / 60) % 60));
  }
  return buf.data();
}

// Returns the carriage to column 0 and erases the whole line before drawing.
inline constexpr std::string_view kEraseLine = "\r\x1b[2K";

// "\r\x1b[2K{name}: {percent:5.1}%  {done} → {decoded}  {speed}/s  {ratio:.1}×  ETA {eta}"
inline std::string progress_line(std::string_view name, std::uint64_t decoded, const ProgressFigures& f) {
  std::string line(kEraseLine);
  line += name;
  line += ": ";
  line += fixed_point(f.percent, 1, 5);
  line += "%  ";
  line += size_text(f.done);
  line += " \u2192 ";
  line += size_text(decoded);
  line += "  ";
  line += size_text(f.speed);
  line += "/s  ";
  line += fixed_point(f.ratio, 1);
  line += "\u00d7  ETA ";
  line += eta_text(f.eta);
  return line;
}

}  // namespace morvane::cli
