// The progress line of one input on standard error: redrawn in place, not
// before 200 ms have passed, at most every 100 ms, and only on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::cli {

inline constexpr std::chrono::milliseconds kFirstDrawAfter{200};
inline constexpr std::chrono::milliseconds kRedrawEvery{100};

class ProgressDisplay {
 public:
  // Draws nothing yet; drawing is allowed only without --quiet and with
  // standard error on a terminal.
  ProgressDisplay(std::string_view name, std::uint64_t total, bool quiet);
  ~ProgressDisplay() { finish(); }
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // The engine's progress callback: compressed bytes consumed, decoded bytes so far.
  void update(std::uint64_t position, std::uint64_t decoded);

  // Closes a drawn line with one newline, so what follows starts on a fresh line.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;

  std::string name_;
  Clock::time_point start_;
  Clock::time_point last_;
  std::uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
};

}  // namespace morvane::cli
