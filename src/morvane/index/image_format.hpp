// Layout of the index file image. All integers are little-endian and unsigned,
// records are packed without padding:
//   header (76 bytes) | S stream records (53 each) | B block records (44 each) | trailer (32)
// The trailer is the BLAKE3 hash of every byte before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "morvane/constants.hpp"

namespace morvane::index {

// "DOZEZIZ" followed by one zero byte.
inline constexpr std::array<std::uint8_t, 8> kImageMagic = {'D', 'O', 'Z', 'E', 'Z', 'I', 'Z', 0};
inline constexpr std::uint32_t kImageVersion = 1;

// Header fields, in bytes: magic, version, source_bytes, source_hash,
// decoded_bytes, stream count, block count.
inline constexpr std::size_t kHashBytes = 32;
inline constexpr std::size_t kHeaderBytes = 8 + 4 + 8 + kHashBytes + 8 + 8 + 8;
static_assert(kHeaderBytes == 76);

// Stream record: header_byte 8, block_size_100k 1, first_block 8, block_count 8,
// decoded_start 8, decoded_bytes 8, eos_bit 8, expected_crc 4.
inline constexpr std::size_t kStreamRecordBytes = 8 + 1 + 8 + 8 + 8 + 8 + 8 + 4;
static_assert(kStreamRecordBytes == 53);

// Block record: compressed_start_bit 8, compressed_end_bit 8, decoded_start 8,
// decoded_bytes 8, expected_crc 4, stream 8 (the CRC stands before the stream).
inline constexpr std::size_t kBlockRecordBytes = 8 + 8 + 8 + 8 + 4 + 8;
static_assert(kBlockRecordBytes == 44);

// The trailer: BLAKE3 of everything before it.
inline constexpr std::size_t kTrailerBytes = kHashBytes;

// The image of an index without records: the header and the trailer.
inline constexpr std::size_t kEmptyImageBytes = kHeaderBytes + kTrailerBytes;
static_assert(kEmptyImageBytes == 108);

// The shortest stream, in bytes: its header and its end record, no block.
inline constexpr std::uint64_t kMinStreamBytes = kStreamHeaderBytes + kEndRecordBits / 8;
static_assert(kMinStreamBytes == 14);
// The shortest block, in bits: magic, CRC, randomized flag and origin pointer;
// the 16-bit map of used byte groups and one group's 16 bits; the table count
// (3 bits, at least 2 tables), the selector count (15 bits) and one selector
// (1 bit); two tables of 3 code lengths (one byte in use, the two run symbols
// and the end of block make 3 symbols), each a 5-bit start and one stop bit
// per symbol; and the end-of-block code, at least 1 bit.
inline constexpr std::uint64_t kMinBlockBits = kBlockHeaderBits + 16 + 16 + 3 + 15 + 1 + 2 * (5 + 3) + 1;
static_assert(kMinBlockBits == 173);

}  // namespace morvane::index
