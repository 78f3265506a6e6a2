#include "morvane/indexed/indexed_reader.hpp"

#include <algorithm>
#include <cstring>

#include "morvane/decode/engine.hpp"
#include "morvane/indexed/block_decode.hpp"

namespace morvane::indexed {

namespace {

// Offsets of every origin plus any 64-bit offset fit without wrapping.
__extension__ typedef __int128 Wide;

IoError seek_outside() { return IoError::custom(IoKind::InvalidInput, "seek outside decompressed data"); }
IoError decoded_gap() { return IoError::custom(IoKind::InvalidData, "index has a decoded gap"); }

}  // namespace

Result<IndexedReader> IndexedReader::from_source(Source source, std::optional<index::Index> index,
                                                 decode::DecodeOptions options, std::size_t cache_limit) {
  if (!index) {
    auto built = decode::build_index(source.bytes(), options);
    if (!built) return fail(std::move(built.error()));
    index = std::move(*built);
  }
  return IndexedReader(std::move(*index), std::move(source), cache_limit);
}

std::expected<std::size_t, IoError> IndexedReader::read(std::span<std::uint8_t> buf) {
  std::size_t filled = 0;
  auto copied = read_with(buf.size(), [&](std::span<const std::uint8_t> chunk) {
    std::memcpy(buf.data() + filled, chunk.data(), chunk.size());
    filled += chunk.size();
  });
  if (!copied) return std::unexpected(std::move(copied.error()));
  return filled;
}

std::expected<std::span<const std::uint8_t>, IoError> IndexedReader::next_chunk(std::uint64_t room) {
  const auto& blocks = index_.blocks;
  // The blocks that end at or before the position form a leading run; the
  // first block after it holds the position. The end is summed wide because a
  // caller's index is not validated and may not fit.
  auto it = std::partition_point(blocks.begin(), blocks.end(), [&](const index::BlockIndex& b) {
    return Wide(b.decoded_start) + b.decoded_bytes <= Wide(position_);
  });
  // A block starting past the position leaves the bytes before it unowned.
  if (it == blocks.end() || it->decoded_start > position_) return std::unexpected(decoded_gap());
  const auto block = static_cast<std::size_t>(it - blocks.begin());
  const std::uint64_t offset = position_ - it->decoded_start;

  std::span<const std::uint8_t> data;
  if (const auto* hit = cache_.lookup(block)) {
    data = *hit;
  } else {
    ++decoded_blocks_;
    auto decoded = decode_indexed_block(compressed_.bytes(), index_, block);
    // Bytes of a mapping that lost pages meanwhile are not the input's: the
    // block, however it decoded, is neither delivered nor cached.
    if (auto intact = compressed_.intact(); !intact) return std::unexpected(std::move(intact.error()));
    if (!decoded) return std::unexpected(IoError::wrap(std::move(decoded.error())));
    fresh_ = std::move(*decoded);
    fresh_block_ = block;
    data = *fresh_;
  }
  const std::uint64_t n = offset < data.size() ? std::min<std::uint64_t>(data.size() - offset, room) : 0;
  if (n == 0) {
    fresh_.reset();
    return std::unexpected(IoError::custom(IoKind::InvalidData, "decoder made no progress"));
  }
  return data.subspan(offset, n);
}

void IndexedReader::commit(std::size_t n) {
  if (fresh_) {
    cache_.insert(fresh_block_, std::move(*fresh_));
    fresh_.reset();
  }
  position_ += n;
}

std::expected<std::uint64_t, IoError> IndexedReader::seek_start(std::uint64_t offset) {
  if (offset > index_.decoded_bytes) return std::unexpected(seek_outside());
  position_ = offset;
  return position_;
}

std::expected<std::uint64_t, IoError> IndexedReader::seek(Whence whence, std::int64_t offset) {
  Wide base = 0;
  switch (whence) {
    case Whence::Start: base = 0; break;
    case Whence::Current: base = position_; break;
    case Whence::End: base = index_.decoded_bytes; break;
  }
  const Wide target = base + offset;
  if (target < 0 || target > Wide(index_.decoded_bytes)) return std::unexpected(seek_outside());
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

}  // namespace morvane::indexed
