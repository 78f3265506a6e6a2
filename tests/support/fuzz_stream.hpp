// bzip2 input made from fuzz bytes, so that the decoding fuzz targets reach
// the success paths: the bytes choose the streams (count, levels, padding),
// the blocks (data that is literal, run-heavy, text-like or a repeated
// pattern; table count, selectors, code lengths, start lengths, false magics
// planted in the selector list) and then, or not, one field to damage. Every
// CRC is right unless the damage is that CRC. An input whose first byte is 'B'
// (any bzip2 file, every seed made by a compressor) is used as it stands, so
// a corpus of plain files keeps its meaning.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace morvane::test {

// The one field a built input has broken, if any.
enum class Damage : std::uint8_t {
  kNone,
  kBlockCrc,        // a block's stored CRC
  kRandomised,      // a block's randomised bit set
  kOrigin,          // an origin pointer not below the block's symbols
  kNoBytesUsed,     // an empty used-group map
  kTableCount,      // 0, 1 or 7 coding tables
  kSelectors,       // no selectors, or fewer than the symbols need
  kSelectorRange,   // a selector's unary count reaching the table count
  kOverSubscribed,  // one table's code lengths over-subscribe the code space
  kLengthRange,     // a code length outside 1..20
  kEmptyBlock,      // a block of the end-of-block symbol alone
  kLongRun,         // run symbols past the level's symbol limit
  kBlockTail,       // stray bits after a block's end-of-block code
  kStreamCrc,       // a stream's combined CRC
  kLevel,           // a level digit outside 1..9
  kTrailing,        // bytes after the last stream
  kTruncated,       // the input cut short
  kBitFlip,         // one bit anywhere
};
inline constexpr unsigned kDamageKinds = static_cast<unsigned>(Damage::kBitFlip) + 1;

std::string_view damage_name(Damage damage);

struct FuzzStream {
  std::vector<std::uint8_t> input;    // what the target decodes
  std::vector<std::uint8_t> decoded;  // the data of every block written, in order
  bool built = false;                 // false: the fuzz bytes as they came
  Damage damage = Damage::kNone;
  std::uint64_t blocks = 0;   // real blocks written
  std::uint64_t planted = 0;  // false magics hidden in selector lists

  // Built and undamaged: every decoder must decode it to `decoded`.
  bool valid() const { return built && damage == Damage::kNone; }
};

// The input that `bytes` describe. `large`: one stream of the same few blocks
// written over and over, just over 1 MiB of input (up to 64 KiB and one
// round of the blocks more).
FuzzStream fuzz_stream(std::span<const std::uint8_t> bytes, bool large = false);

// Independent of the library, from the format's rules: whether a block magic
// before `bit` begins a block whose header parses up to a coding table whose
// code lengths over-subscribe the code space and end exactly at `bit`.
bool over_subscribed_table_ends_at(std::span<const std::uint8_t> input, std::uint64_t bit);
// Whether a block magic at `bit` is followed by a set randomised bit.
bool randomised_block_at(std::span<const std::uint8_t> input, std::uint64_t bit);

}  // namespace morvane::test
