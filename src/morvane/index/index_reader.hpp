// The little-endian cursor over an index image's payload (the image without
// its trailer), used while parsing. Every read fails with Error::InvalidIndex
// and leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "morvane/error.hpp"

namespace morvane::index {

struct IndexReader {
  std::span<const std::uint8_t> payload;
  std::size_t cursor = 0;

  // The next n bytes: "offset overflow" when cursor + n passes the machine
  // word, "truncated payload" when it passes the end of the payload.
  Result<std::span<const std::uint8_t>> take(std::size_t n);
  Result<std::uint8_t> byte();
  Result<std::uint32_t> u32();
  Result<std::uint64_t> u64();

 private:
  // take of `width` bytes (at most 8), read as a little-endian integer.
  Result<std::uint64_t> little_endian(std::size_t width);
};

}  // namespace morvane::index
