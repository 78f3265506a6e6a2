#include "morvane/index/index_reader.hpp"

#include <limits>
#include <utility>

namespace morvane::index {

Result<std::span<const std::uint8_t>> IndexReader::take(std::size_t n) {
  if (n > std::numeric_limits<std::size_t>::max() - cursor) return fail(Error::invalid_index("offset overflow"));
  if (cursor + n > payload.size()) return fail(Error::invalid_index("truncated payload"));
  auto bytes = payload.subspan(cursor, n);
  cursor += n;
  return bytes;
}

Result<std::uint64_t> IndexReader::little_endian(std::size_t width) {
  auto bytes = take(width);
  if (!bytes) return fail(std::move(bytes.error()));
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | (*bytes)[i];
  return value;
}

Result<std::uint8_t> IndexReader::byte() {
  auto value = little_endian(1);
  if (!value) return fail(std::move(value.error()));
  return static_cast<std::uint8_t>(*value);
}

Result<std::uint32_t> IndexReader::u32() {
  auto value = little_endian(4);
  if (!value) return fail(std::move(value.error()));
  return static_cast<std::uint32_t>(*value);
}

Result<std::uint64_t> IndexReader::u64() { return little_endian(8); }

}  // namespace morvane::index
