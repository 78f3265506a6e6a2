// The block scan against a slow reference that slides a 48-bit window one bit
// at a time over the whole input, on built streams (real block and end
// magics, false ones planted in selector lists) and raw bytes: the whole
// input, any sub-range (two bytes of the input choose it), the three ranges
// that tile the input (as the chunks of a large input do), and the checked
// entry point without a pool. (A pool only
// runs those chunks, for inputs above 1 MiB; starting one per run made this
// target some twenty times slower, so the unit tests keep that part.)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/scan.hpp"
#include "support/reference_scan.hpp"

using namespace morvane;
using format::ScanResult;
using test::reference_scan;

namespace {

// The candidates whose first bit lies in bytes [start, end).
ScanResult within(const ScanResult& all, std::uint64_t start, std::uint64_t end) {
  ScanResult out;
  for (const auto& s : all.streams)
    if (s.byte_offset >= start && s.byte_offset < end) out.streams.push_back(s);
  for (const auto& b : all.blocks)
    if (b.bit_offset >= 8 * start && b.bit_offset < 8 * end) out.blocks.push_back(b);
  for (const auto& e : all.ends)
    if (e.bit_offset >= 8 * start && e.bit_offset < 8 * end) out.ends.push_back(e);
  return out;
}

void append(ScanResult& to, const ScanResult& from) {
  to.streams.insert(to.streams.end(), from.streams.begin(), from.streams.end());
  to.blocks.insert(to.blocks.end(), from.blocks.begin(), from.blocks.end());
  to.ends.insert(to.ends.end(), from.ends.begin(), from.ends.end());
}

bool valid_header(std::span<const std::uint8_t> input) {
  return input.size() >= 4 && input[0] == 'B' && input[1] == 'Z' && input[2] == 'h' && input[3] >= '1' &&
         input[3] <= '9';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::Reach& reach = fuzz::Reach::of("fuzz_scan", false);
  const test::FuzzStream stream = test::fuzz_stream({data, size});
  const std::span<const std::uint8_t> input = stream.input;
  reach.built(stream);
  const ScanResult expected = reference_scan(input);
  FUZZ_CHECK(format::scan_range(input, 0, input.size()) == expected);
  reach.add("block magics", expected.blocks.size());

  fuzz::Knobs knobs({data, size});
  const std::uint64_t length = input.size();
  std::uint64_t start = knobs.byte() * (length + 1) / 256;
  std::uint64_t end = knobs.byte() * length / 255;
  if (start > end) std::swap(start, end);
  FUZZ_CHECK(format::scan_range(input, start, end) == within(expected, start, end));
  ScanResult tiled = format::scan_range(input, 0, start);
  append(tiled, format::scan_range(input, start, end));
  append(tiled, format::scan_range(input, end, length));
  FUZZ_CHECK(tiled == expected);

  auto checked = format::scan_input(input);
  auto magics = format::scan_magics(input, nullptr, UINT64_MAX);
  if (valid_header(input)) {
    FUZZ_CHECK(checked.has_value() && *checked == expected);
    // The engine's scan: the same block and end magics, as keys, chunk by chunk.
    std::vector<format::MagicKey> keys, joined;
    for (const auto& b : expected.blocks) keys.push_back(format::block_key(b.bit_offset));
    for (const auto& e : expected.ends) keys.push_back(format::end_key(e.bit_offset));
    std::sort(keys.begin(), keys.end());
    FUZZ_CHECK(magics.has_value() && !magics->over_cap);
    for (const auto& chunk : magics->chunks) joined.insert(joined.end(), chunk.begin(), chunk.end());
    FUZZ_CHECK(joined == keys);
    // Over a cap below the block magics' count, the scan says so.
    if (!expected.blocks.empty()) {
      auto capped = format::scan_magics(input, nullptr, expected.blocks.size() - 1);
      FUZZ_CHECK(capped.has_value() && capped->over_cap);
    }
  } else {
    FUZZ_CHECK(!checked && checked.error().tag() == Error::Tag::InvalidStreamHeader);
    FUZZ_CHECK(!magics && magics.error().tag() == Error::Tag::InvalidStreamHeader);
  }

  return 0;
}
