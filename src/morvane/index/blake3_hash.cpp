#include "blake3.h"
#include "morvane/index/index.hpp"

namespace morvane::index {

std::array<std::uint8_t, 32> blake3_hash(std::span<const std::uint8_t> data) {
  static_assert(BLAKE3_OUT_LEN == 32);
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data.data(), data.size());
  std::array<std::uint8_t, 32> out;
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

}  // namespace morvane::index
