// The scan's oracle, shared by its unit test and its fuzz target: every
// candidate found the slow, plain way, independently of the library's tables.
#pragma once

#include <cstdint>
#include <span>

#include "morvane/format/scan.hpp"

namespace morvane::test {

// `count` (at most 64) bits of `input` from bit `bit`, most significant first.
std::uint64_t bits_at(std::span<const std::uint8_t> input, std::uint64_t bit, unsigned count);

// A one-bit shift register over the whole input for the magics, and a plain
// byte compare for the headers; a candidate whose fields would pass the end of
// the input is not recorded.
format::ScanResult reference_scan(std::span<const std::uint8_t> input);

}  // namespace morvane::test
