// The renderings of the progress line and of byte counts, pinned value by value:
// the rounding of ties, the unit boundaries and the ETA layout are what users see.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "bin/morvane/progress_line.hpp"
#include "bin/morvane/size_text.hpp"

namespace morvane::cli {
namespace {

TEST(CliSizeText, UnitsAndBoundaries) {
  EXPECT_EQ(size_text(0), "0 B");
  EXPECT_EQ(size_text(1023), "1023 B");
  EXPECT_EQ(size_text(1024), "1.0 KiB");
  EXPECT_EQ(size_text(1280), "1.2 KiB");  // 1.25: the tie goes to the even digit
  EXPECT_EQ(size_text(1792), "1.8 KiB");  // 1.75
  EXPECT_EQ(size_text(1536), "1.5 KiB");
  EXPECT_EQ(size_text(1048575), "1024.0 KiB");  // unit chosen before rounding
  EXPECT_EQ(size_text(1048576), "1.0 MiB");
  EXPECT_EQ(size_text(1073741824), "1.0 GiB");
  EXPECT_EQ(size_text(1099511627776), "1.0 TiB");
  EXPECT_EQ(size_text(1125899906842624), "1024.0 TiB");
  EXPECT_EQ(size_text(2 * 1125899906842624ULL), "2048.0 TiB");
  EXPECT_EQ(size_text(UINT64_MAX), "16777216.0 TiB");
}

TEST(CliFixedPoint, TiesToEvenAndPadding) {
  EXPECT_EQ(fixed_point(1.25, 1), "1.2");
  EXPECT_EQ(fixed_point(1.75, 1), "1.8");
  EXPECT_EQ(fixed_point(0.0, 1, 5), "  0.0");
  EXPECT_EQ(fixed_point(42.5, 1, 5), " 42.5");
  EXPECT_EQ(fixed_point(100.0, 1, 5), "100.0");
  EXPECT_EQ(fixed_point(99.96, 1, 5), "100.0");
}

TEST(CliEtaText, Layouts) {
  EXPECT_EQ(eta_text(0), "0s");
  EXPECT_EQ(eta_text(59), "59s");
  EXPECT_EQ(eta_text(60), "1m00s");
  EXPECT_EQ(eta_text(3599), "59m59s");
  EXPECT_EQ(eta_text(3600), "1h00m");
  EXPECT_EQ(eta_text(3661), "1h01m");
  EXPECT_EQ(eta_text(25 * 3600 + 61), "25h01m");
}

TEST(CliProgressFigures, EdgeValues) {
  // An empty input: everything done, nothing to divide by.
  auto empty = progress_figures(0, 0, 0, 1.0);
  EXPECT_EQ(progress_line("x", 0, empty), "\r\x1b[2Kx: 100.0%  0 B \u2192 0 B  0 B/s  0.0\u00d7  ETA 0s");

  // A position past the total shows as the total.
  auto past = progress_figures(150, 300, 100, 1.0);
  EXPECT_EQ(past.done, 100u);
  EXPECT_EQ(past.percent, 100.0);
  EXPECT_EQ(past.eta, 0u);
  EXPECT_EQ(past.ratio, 3.0);

  // Speed is truncated before formatting: 1023.9 B/s is 1023 B/s.
  auto slow = progress_figures(10, 10239, 100, 10.0);
  EXPECT_EQ(slow.speed, 1023u);
  EXPECT_EQ(slow.eta, 90u);

  // Under a millisecond counts as one; ETA rounds halves away from zero.
  EXPECT_EQ(progress_figures(1, 1000, 2, 0.0).speed, 1000000u);
  EXPECT_EQ(progress_figures(2, 0, 3, 1.0).eta, 1u);  // 0.5 s left
  EXPECT_EQ(progress_figures(4, 0, 10, 1.0).eta, 2u);  // 1.5 s left

  auto mid = progress_figures(425, 2 * 1048576, 1000, 2.0);
  EXPECT_EQ(progress_line("data.bz2", 2 * 1048576, mid),
            "\r\x1b[2Kdata.bz2:  42.5%  425 B \u2192 2.0 MiB  1.0 MiB/s  4934.5\u00d7  ETA 3s");
}

TEST(CliProgressFigures, SaturatingConversions) {
  EXPECT_EQ(saturating_u64(-1.0), 0u);
  EXPECT_EQ(saturating_u64(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(saturating_u64(1e30), UINT64_MAX);
  EXPECT_EQ(saturating_u64(7.99), 7u);
  EXPECT_EQ(progress_figures(1, 0, UINT64_MAX, 1e6).eta, UINT64_MAX);
}

}  // namespace
}  // namespace morvane::cli
