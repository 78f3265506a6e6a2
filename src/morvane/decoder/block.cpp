// One block from its stored CRC to its checked output, and the stateless
// candidate decode of the speculative engine.
#include "morvane/decoder/block.hpp"

#include "morvane/constants.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/decoder/stages.hpp"

namespace morvane::decoder {
namespace {

inline constexpr std::uint8_t kCandidateLevel = 9;
inline constexpr std::uint8_t kMaxLevel = 9;
inline constexpr unsigned kGroups = 16;  // byte values in groups of 16, one map bit each

}  // namespace

Result<DecodedBlock> Decoder::block(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc) {
  const std::uint64_t block_start = bits.pos() >= kMagicBits ? bits.pos() - kMagicBits : 0;
  const auto whole_block = [&](DecodeError kind) { return fail(Error::decode(block_start, kind)); };
  // Callers validate the level; one outside 1..9 would break the transform's
  // 20-bit links, so it is refused rather than trusted.
  if (level == 0 || level > kMaxLevel) return whole_block(DecodeError::InvalidLevel);

  auto stored_crc = bits.read(32);
  if (!stored_crc) return fail(std::move(stored_crc.error()));
  if (expected_crc && *expected_crc != *stored_crc) return whole_block(DecodeError::InvalidBlock);

  auto randomised = bits.bit();
  if (!randomised) return fail(std::move(randomised.error()));
  if (*randomised) return whole_block(DecodeError::RandomizedBlock);

  auto origin = bits.read(24);
  if (!origin) return fail(std::move(origin.error()));

  auto used_groups = bits.read(16);
  if (!used_groups) return fail(std::move(used_groups.error()));
  stages::MtfList mtf{{}, 0};
  for (unsigned group = 0; group < kGroups; ++group) {
    if (!(*used_groups & (0x8000u >> group))) continue;
    auto map = bits.read(16);
    if (!map) return fail(std::move(map.error()));
    for (unsigned j = 0; j < 16; ++j) {
      if (*map & (0x8000u >> j)) mtf.bytes[mtf.size++] = static_cast<std::uint8_t>(group * 16 + j);
    }
  }
  if (mtf.size == 0) return whole_block(DecodeError::InvalidBlock);

  stages::CodingTables tables;
  if (auto read = stages::read_tables(bits, mtf.size + 2, tables); !read) return fail(std::move(read.error()));

  const auto max_symbols = static_cast<std::uint32_t>(level * kSymbolsPerLevel);
  work_.reserve(max_symbols);
  auto n = stages::decode_symbols(bits, tables, mtf, work_.tt(), max_symbols);
  if (!n) return fail(std::move(n.error()));
  if (*origin >= *n) return whole_block(DecodeError::InvalidBlock);

  const std::uint64_t output_limit = level * kOutputPerLevel + 4;
  stages::inverse_transform(work_.tt(), *n, *origin, work_.bytes(), work_.scratch(*n));
  auto data = stages::expand_runs(std::span(work_.bytes(), *n), output_limit, block_start);
  if (!data) return fail(std::move(data.error()));
  if (crc32_bzip2(*data) != *stored_crc) return whole_block(DecodeError::CrcMismatch);
  return DecodedBlock{std::move(*data), *stored_crc, *n};
}

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc, Decoder& decoder) {
  Bits bits(data, bit_offset);
  if (bit_offset > bits.total_bits()) return fail(Error::decode(bit_offset, DecodeError::Truncated));
  auto magic = bits.magic();
  if (!magic) return fail(std::move(magic.error()));
  if (*magic != kBlockMagic) return fail(Error::decode(bit_offset, DecodeError::InvalidMagic));
  auto block = decoder.block(bits, kCandidateLevel, expected_crc);
  if (!block) return fail(std::move(block.error()));
  return DecodedCandidate{std::move(block->data), bits.pos(), block->symbols};
}

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc) {
  Decoder decoder;
  return decode_candidate(data, bit_offset, expected_crc, decoder);
}

}  // namespace morvane::decoder
