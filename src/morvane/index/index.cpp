#include "morvane/index/index.hpp"

#include <utility>

#include "morvane/index/image_format.hpp"

namespace morvane::index {

std::uint64_t max_image_bytes(std::uint64_t source_bytes) {
  // The streams and the blocks are each counted as if they had the input to
  // themselves: a bound, not the largest index that can really be made.
  __extension__ typedef unsigned __int128 Wide;
  const Wide bytes = source_bytes;
  const Wide most = kEmptyImageBytes + kStreamRecordBytes * (bytes / kMinStreamBytes) +
                    kBlockRecordBytes * (bytes * 8 / kMinBlockBits);
  return most > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(most);
}

Index Index::create(std::span<const std::uint8_t> source, std::uint64_t decoded_bytes, std::vector<StreamIndex> streams,
                    std::vector<BlockIndex> blocks) {
  return Index{
      .source_bytes = source.size(),
      .source_hash = blake3_hash(source),
      .decoded_bytes = decoded_bytes,
      .streams = std::move(streams),
      .blocks = std::move(blocks),
  };
}

}  // namespace morvane::index
