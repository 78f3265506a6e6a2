// Random access to the decoded contents of one bzip2 input through its block
// index: a read decodes only the blocks it touches, checks each against its
// index record and keeps recently used blocks in a byte-bounded cache. Behaves
// as a seekable byte stream: reads and seeks fail with I/O errors, and library
// errors met while reading travel whole inside one.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/block_cache.hpp"
#include "morvane/io_error.hpp"
#include "morvane/source.hpp"

namespace morvane::indexed {

// One thread at a time: reads and seeks move the position and fill the cache.
// A reader may move from thread to thread, and readers over one Source may run
// on different threads at once.
class IndexedReader {
 public:
  enum class Whence { Start, Current, End };

  // Without an index, builds one with a full validating decode of `source`
  // (on the engine's threads, as `options` says) and returns its error
  // unchanged. A given index is taken as it is; `options` is then unused.
  static Result<IndexedReader> from_source(Source source, std::optional<index::Index> index,
                                           decode::DecodeOptions options, std::size_t cache_limit);

  // Copies decoded bytes from the current position into `buf` and returns how
  // many: all of `buf` unless the decoded data ends first; 0 at the end or for
  // an empty buffer. After a failure the bytes copied are not reported and the
  // position stands at the start of the failing block's part.
  std::expected<std::size_t, IoError> read(std::span<std::uint8_t> buf);

  // The same read without a buffer of the caller's: hands up to `max` bytes
  // to `sink` as spans of at least one byte, one per block, each only after
  // that block has decoded and matched its record. A caller that grows its
  // own buffer chunk by chunk never allocates for bytes that a forged record
  // promises but its block does not hold. The spans are valid only during
  // the call of `sink`; the position advances after each one. An exception
  // from `sink` (say, std::bad_alloc while growing) passes through with the
  // position before that piece and its block not cached.
  template <class Sink>
    requires std::invocable<Sink&, std::span<const std::uint8_t>>
  std::expected<std::uint64_t, IoError> read_with(std::uint64_t max, Sink&& sink);

  // The new position, or "seek outside decompressed data" (InvalidInput) for a
  // target below 0 or past the decoded size, leaving the position unchanged.
  std::expected<std::uint64_t, IoError> seek_start(std::uint64_t offset);
  std::expected<std::uint64_t, IoError> seek(Whence whence, std::int64_t offset);

  std::uint64_t position() const { return position_; }
  const index::Index& index() const { return index_; }
  const BlockCache& cache() const { return cache_; }
  // Blocks decoded on cache misses so far, failed decodes included.
  std::uint64_t decoded_blocks() const { return decoded_blocks_; }

 private:
  IndexedReader(index::Index index, Source compressed, std::size_t cache_limit)
      : index_(std::move(index)), cache_(cache_limit), compressed_(std::move(compressed)) {}

  // The next piece of at most `room` (> 0) bytes at the position, from the
  // cache or from a fresh decode kept in fresh_ until commit().
  std::expected<std::span<const std::uint8_t>, IoError> next_chunk(std::uint64_t room);
  // After the piece was delivered: offers a fresh block to the cache (the
  // copy is made first, as the cache may release it) and moves the position.
  void commit(std::size_t n);

  index::Index index_;
  BlockCache cache_;
  Source compressed_;
  std::uint64_t position_ = 0;  // always within 0..index_.decoded_bytes
  std::uint64_t decoded_blocks_ = 0;
  std::optional<std::vector<std::uint8_t>> fresh_;
  std::size_t fresh_block_ = 0;
};

template <class Sink>
  requires std::invocable<Sink&, std::span<const std::uint8_t>>
std::expected<std::uint64_t, IoError> IndexedReader::read_with(std::uint64_t max, Sink&& sink) {
  // Drops a fresh block that the sink did not get to hand to the cache (it threw).
  struct DropFresh {
    std::optional<std::vector<std::uint8_t>>& fresh;
    ~DropFresh() { fresh.reset(); }
  } drop{fresh_};
  std::uint64_t total = 0;
  while (total < max && position_ < index_.decoded_bytes) {
    // Never past the decoded size, even where a caller's index has a block
    // record that ends beyond it.
    auto chunk = next_chunk(std::min(max - total, index_.decoded_bytes - position_));
    if (!chunk) return std::unexpected(std::move(chunk.error()));
    sink(*chunk);
    commit(chunk->size());
    total += chunk->size();
  }
  return total;
}

}  // namespace morvane::indexed
