#include "progress.hpp"

#include <unistd.h>

#include "progress_line.hpp"
#include "stdio.hpp"

namespace morvane::cli {

ProgressDisplay::ProgressDisplay(std::string_view name, std::uint64_t total, bool quiet)
    : name_(name), start_(Clock::now()), last_(start_), total_(total),
      enabled_(!quiet && ::isatty(STDERR_FILENO) == 1) {}

void ProgressDisplay::update(std::uint64_t position, std::uint64_t decoded) {
  if (!enabled_) return;
  // steady_clock never goes back, so the differences are never negative.
  Clock::time_point now = Clock::now();
  Clock::duration elapsed = now - start_;
  if (!drawn_ && elapsed < kFirstDrawAfter) return;
  if (position < total_ && now - last_ < kRedrawEvery) return;
  double seconds = std::chrono::duration<double>(elapsed).count();
  // Write failures are ignored: the display never changes a decode's result.
  write_stderr(progress_line(name_, decoded, progress_figures(position, decoded, total_, seconds)));
  last_ = Clock::now();
  drawn_ = true;
}

void ProgressDisplay::finish() {
  if (!drawn_) return;
  write_stderr("\n");
  drawn_ = false;
}

}  // namespace morvane::cli
