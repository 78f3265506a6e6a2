// The block index of one compressed input: where every stream and block lies
// in the compressed bits and in the decoded bytes, with the CRC each must
// reproduce. Converts to and from a self-checking byte image that is bound to
// its input by length and BLAKE3 hash.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "morvane/error.hpp"

namespace morvane::index {

// One bzip2 stream of the input.
struct StreamIndex {
  std::uint64_t header_byte;     // byte offset of the stream's "BZh" header
  std::uint8_t block_size_100k;  // level digit of the header, 1 to 9
  std::uint64_t first_block;     // block number of the stream's first block
  std::uint64_t block_count;     // blocks of the stream (0 for a stream without blocks)
  std::uint64_t decoded_start;   // decoded offset where the stream's data begins
  std::uint64_t decoded_bytes;   // decoded length of the stream
  std::uint64_t eos_bit;         // absolute bit offset of the end-of-stream magic
  std::uint32_t expected_crc;    // combined CRC stored after the end-of-stream magic

  bool operator==(const StreamIndex&) const = default;
};

// One block; its position in Index::blocks is its block number.
struct BlockIndex {
  std::uint64_t compressed_start_bit;  // absolute bit offset of the block magic
  std::uint64_t compressed_end_bit;    // bit right after the block's last coded bit
  std::uint64_t decoded_start;         // decoded offset where the block's data begins
  std::uint64_t decoded_bytes;         // decoded length of the block
  std::uint32_t expected_crc;          // block CRC stored after the block magic
  std::uint64_t stream;                // position in Index::streams of the holding stream

  bool operator==(const BlockIndex&) const = default;
};

// The records are values: a const Index may be read from any number of
// threads at once.
struct Index {
  std::uint64_t source_bytes;                // length of the compressed input
  std::array<std::uint8_t, 32> source_hash;  // BLAKE3 of the whole compressed input
  std::uint64_t decoded_bytes;               // total decoded length
  std::vector<StreamIndex> streams;          // in input order
  std::vector<BlockIndex> blocks;            // all streams' blocks, in input order

  // An index over `source`: its length and BLAKE3 hash, with the records moved in.
  static Index create(std::span<const std::uint8_t> source, std::uint64_t decoded_bytes,
                      std::vector<StreamIndex> streams, std::vector<BlockIndex> blocks);

  // The image of this index, exactly 108 + 53 S + 44 B bytes for
  // S streams and B blocks (see image_format.hpp).
  // Writes the fields as they are, without validating them.
  std::vector<std::uint8_t> to_bytes() const;

  // Parses and checks an image against the input it must describe, then
  // validates it. Every failure is Error::InvalidIndex.
  static Result<Index> from_bytes(std::span<const std::uint8_t> image, std::span<const std::uint8_t> source);

  // Checks that the records are consistent with each other and the input length;
  // Error::InvalidIndex with the reason of the first rule broken.
  Result<void> validate() const;

  bool operator==(const Index&) const = default;
};

// The 32-byte BLAKE3 hash of `data`.
std::array<std::uint8_t, 32> blake3_hash(std::span<const std::uint8_t> data);

// The length of the largest image that any input of `source_bytes` bytes can
// have (2^64 - 1 when that does not fit): every stream takes at least 14
// bytes and every block at least 173 bits, so an index file longer than this
// need not be read to be refused.
std::uint64_t max_image_bytes(std::uint64_t source_bytes);

// Appended to an input's path to name its index file.
inline constexpr const char* kIndexSuffix = ".zuvov";

}  // namespace morvane::index
