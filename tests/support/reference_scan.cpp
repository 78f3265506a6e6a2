#include "support/reference_scan.hpp"

#include "morvane/constants.hpp"

namespace morvane::test {
namespace {

bool bit_at(std::span<const std::uint8_t> input, std::uint64_t bit) { return (input[bit / 8] >> (7 - bit % 8)) & 1; }

}  // namespace

std::uint64_t bits_at(std::span<const std::uint8_t> input, std::uint64_t bit, unsigned count) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < count; ++i) v = v << 1 | bit_at(input, bit + i);
  return v;
}

format::ScanResult reference_scan(std::span<const std::uint8_t> input) {
  format::ScanResult out;
  for (std::uint64_t i = 0; i + 4 <= input.size(); ++i) {
    if (input[i] == 'B' && input[i + 1] == 'Z' && input[i + 2] == 'h' && input[i + 3] >= '1' && input[i + 3] <= '9') {
      out.streams.push_back({i, static_cast<std::uint8_t>(input[i + 3] - '0')});
    }
  }
  const std::uint64_t bits = 8 * std::uint64_t{input.size()};
  const std::uint64_t mask = (std::uint64_t{1} << 48) - 1;
  std::uint64_t window = 0;
  for (std::uint64_t end = 0; end < bits; ++end) {
    window = (window << 1 | bit_at(input, end)) & mask;
    if (end < 47) continue;
    const std::uint64_t b = end - 47;  // the window's first bit
    if (window == kEndMagic && b + 80 <= bits) {
      out.ends.push_back({b, static_cast<std::uint32_t>(bits_at(input, b + 48, 32))});
    } else if (window == kBlockMagic && b + 105 <= bits) {
      out.blocks.push_back({b, static_cast<std::uint32_t>(bits_at(input, b + 48, 32)),
                            static_cast<std::uint32_t>(bits_at(input, b + 81, 24)), bit_at(input, b + 80)});
    }
  }
  return out;
}

}  // namespace morvane::test
