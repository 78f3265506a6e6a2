#include "morvane/index/index.hpp"

#include <utility>

namespace morvane::index {

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
