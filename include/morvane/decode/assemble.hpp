// The ordered walk: from each stream header to its first block, from each
// block to the marker where its coded bits end, from each end-of-stream marker
// to the next header. Every link and the combined stream CRC are checked, the
// blocks are written strictly in input order, and the block index is built on
// the way. False markers need no treatment: the chain never reaches them.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/stream_header.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

// A source of decoded blocks. The walk calls `take` only for block markers on
// the chain, each at most once and in increasing index order; after each take
// of index i it calls `discard_before(j)` with the index j > i of the marker
// where that block ends, before the block is written.
template <class C>
concept Candidates = requires(C& candidates, std::uint64_t marker) {
  { candidates.take(marker) } -> std::same_as<Result<decoder::DecodedCandidate>>;
  { candidates.discard_before(marker) } -> std::same_as<void>;
};

// Decodes each block on demand in the calling thread, with one Decoder for
// the whole walk; a block's buffer comes back once the walk has written it
// and serves the next block. One thread at a time (the walk's).
class SerialCandidates final : public decoder::BufferRecycler {
 public:
  SerialCandidates(std::span<const std::uint8_t> data, const MarkerList& markers) : data_(data), markers_(markers) {}

  // `marker` must be below markers.size(); an end-of-stream marker gives
  // InvalidMagic at its offset.
  Result<decoder::DecodedCandidate> take(std::uint64_t marker);
  void discard_before(std::uint64_t) const {}
  void recycle(decoder::BlockBuffer&& buffer) noexcept override { spare_ = std::move(buffer); }

 private:
  std::span<const std::uint8_t> data_;
  const MarkerList& markers_;
  decoder::LentDecoder decoder_;
  decoder::BlockBuffer spare_;
};

// What a walk produces: the block index, or (for a decompression, which would
// drop it) nothing, which spares the BLAKE3 pass over the whole input.
enum class Walk : std::uint8_t { kIndex, kDecodeOnly };
template <Walk kWalk>
using WalkResult = std::conditional_t<kWalk == Walk::kIndex, Result<index::Index>, Result<void>>;

// Walks the chain through `markers`, taking each block from `candidates` (the
// caller's temporary, dropped right after the call) and writing it to `writer`. `progress` gets
// (bytes consumed up to the block's end, decoded bytes so far) after each block
// and (input length, total) after the final flush. The first failure ends the
// walk; the writer keeps what it accepted and is not flushed.
template <Walk kWalk = Walk::kIndex, Writer W, class C, Progress P>
  requires Candidates<std::remove_cvref_t<C>>
WalkResult<kWalk> assemble(std::span<const std::uint8_t> data, W& writer, const MarkerList& markers,
                           C&& candidates, P&& progress) {
  constexpr bool kRecord = kWalk == Walk::kIndex;
  const std::uint64_t len = data.size();
  std::vector<index::StreamIndex> streams;
  std::vector<index::BlockIndex> blocks;
  std::uint64_t decoded = 0;
  std::uint64_t block_count = 0;

  for (std::uint64_t g = 0; g < len;) {
    if (g > (UINT64_MAX - kStreamHeaderBits) / 8) return fail(offset_overflow());
    const std::uint64_t header_bit = 8 * g;
    auto header = read_stream_header(data, g);
    if (!header) return fail(stream_header_error(header.error(), header_bit));
    const std::uint8_t level = *header;

    std::uint64_t offset = header_bit + kStreamHeaderBits;
    auto at = markers.find(offset);
    if (!at) return fail(Error::decode(offset, DecodeError::InvalidMagic));
    const std::uint64_t symbol_limit = level * kSymbolsPerLevel;
    const std::uint64_t first_block = block_count;
    const std::uint64_t stream_start = decoded;
    std::uint32_t combined = 0;

    std::uint64_t current = *at;
    while (markers[current].is_block()) {
      const std::uint64_t block_start = offset;
      const std::uint32_t block_crc = markers.crc(current);
      auto taken = candidates.take(current);
      if (!taken) return fail(std::move(taken.error()));
      // Candidates decode under the level-9 limits; the stream's own level applies here.
      if (taken->symbols > symbol_limit) return fail(Error::decode(offset, DecodeError::BlockOverflow));
      const std::uint64_t end_bit = taken->end_bit;
      auto next = markers.find(end_bit);
      if (!next) return fail(Error::decode(end_bit, DecodeError::InvalidMagic));
      candidates.discard_before(*next);

      const std::uint64_t size = taken->data.size();
      if (auto written = writer.write_all(taken->data); !written) return fail(Error::io(std::move(written.error())));
      if constexpr (kRecord) {
        blocks.push_back({.compressed_start_bit = block_start,
                          .compressed_end_bit = end_bit,
                          .decoded_start = decoded,
                          .decoded_bytes = size,
                          .expected_crc = block_crc,
                          .stream = streams.size()});
      }
      ++block_count;
      if (size > UINT64_MAX - decoded) return fail(offset_overflow());
      decoded += size;
      // A block ending inside a byte has consumed that byte.
      progress(end_bit / 8 + (end_bit % 8 != 0), decoded);
      combined = decoder::combine_stream_crc(combined, block_crc);
      offset = end_bit;
      current = *next;
    }

    const std::uint64_t end_bit = markers[current].bit_offset();
    if (markers.crc(current) != combined) return fail(Error::decode(end_bit, DecodeError::CrcMismatch));
    if (end_bit > UINT64_MAX - kEndRecordPaddedBits) return fail(offset_overflow());
    const std::uint64_t next_stream = (end_bit + kEndRecordPaddedBits) / 8;
    if constexpr (kRecord) {
      streams.push_back({.header_byte = g,
                         .block_size_100k = level,
                         .first_block = first_block,
                         .block_count = block_count - first_block,
                         .decoded_start = stream_start,
                         .decoded_bytes = decoded - stream_start,
                         .eos_bit = end_bit,
                         .expected_crc = combined});
    }
    // Every byte after a stream must belong to another stream.
    if (next_stream > len) return fail(Error::decode(8 * len, DecodeError::Truncated));
    g = next_stream;
  }

  if (auto flushed = writer.flush(); !flushed) return fail(Error::io(std::move(flushed.error())));
  progress(len, decoded);
  if constexpr (kRecord) {
    return index::Index::create(data, decoded, std::move(streams), std::move(blocks));
  } else {
    return {};
  }
}

}  // namespace morvane::decode
