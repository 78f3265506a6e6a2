// The decoder of one bzip2 block: stored CRC and header, Huffman tables and
// selectors, the symbol stage (move-to-front and runs), the inverse
// Burrows-Wheeler transform, the final run-length stage and the CRC check.
//
// A block is decoded in steps. `read` takes the block from its stored CRC to
// its end-of-block code: its cost follows its compressed length, and it tells
// where the block ends. The rest costs what the block's size says, whatever
// its compressed length (a few header bits can ask for 900000 symbols,
// expanded to 46.6 MB): `invert` runs the inverse transform and counts the
// final run-length stage's output in the working memory, so the output's
// exact size is known before any of it is stored; `expand` writes the output
// and checks the CRC. The speculative engine finishes only the candidates
// that the chain of real blocks reaches, and holds their output only once it
// is wanted soon.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block_buffer.hpp"
#include "morvane/decoder/wanted.hpp"
#include "morvane/error.hpp"

namespace morvane::decoder {

struct DecodedBlock {
  BlockBuffer data;
  std::uint32_t crc;      // the stored block CRC, verified against data
  std::uint64_t symbols;  // Burrows-Wheeler length of the block
};

struct DecodedCandidate {
  BlockBuffer data;
  std::uint64_t end_bit;  // the bit right after the block
  std::uint64_t symbols;
};

// What reading a block tells, before its expensive stages.
struct BlockShape {
  std::uint64_t end_bit;     // the bit right after the end-of-block code
  std::uint32_t stored_crc;
  std::uint32_t symbols;     // Burrows-Wheeler length
};

// One thread at a time: a Decoder holds the block it has read until it is
// finished, and its working memory from block to block.
class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Reads the block whose magic the caller has just read, up to its
  // end-of-block code; on success the cursor stands right after it. `level` is
  // 1..9. Every check of the block's structure is made here; only the output's
  // size and CRC are left to finish.
  Result<BlockShape> read(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc);
  // The same, giving up (nothing) as soon as `wanted` says the block is not.
  Result<std::optional<BlockShape>> read_if(Bits& bits, std::uint8_t level,
                                            std::optional<std::uint32_t> expected_crc, const Wanted& wanted);

  // What the last read cost: the bits it read plus the entries it wrote,
  // whether it succeeded, failed or gave up.
  std::uint64_t read_cost() const;

  // Inverts the block last read and returns its output's length. Must follow
  // a successful read; a failure leaves the Decoder usable.
  Result<std::uint64_t> invert();
  // Writes the inverted block's output into `out` (resized to its length)
  // and checks its CRC. Must follow a successful invert.
  Result<void> expand(BlockBuffer& out);
  // invert and expand.
  Result<void> finish(BlockBuffer& out);

  // read and finish into a new buffer.
  Result<DecodedBlock> block(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc);

  // The bytes of working memory and tables its reads and inversions have
  // touched (an upper bound), failed reads included.
  std::size_t memory_touched() const;
  // Whether an idle Decoder holds little memory (see LentDecoder).
  bool small_when_idle() const;

 private:
  friend Result<std::optional<BlockShape>> read_candidate(std::span<const std::uint8_t> data,
                                                          std::uint64_t bit_offset, std::uint32_t expected_crc,
                                                          Decoder& decoder, const Wanted& wanted);
  Result<std::optional<BlockShape>> read_fields(Bits& bits, std::uint8_t level,
                                                std::optional<std::uint32_t> expected_crc, const Wanted& wanted,
                                                std::uint32_t& written);
  // The working memory, the coding tables (kept for their storage) and the
  // block between read and finish.
  struct State;
  std::unique_ptr<State> state_;
};

// A Decoder for the length of one call or one worker. Mapping a workspace and
// faulting its first pages in costs more than decoding a small block, so idle
// decoders whose working memory is small are kept in a few process-wide slots
// and lent again; one that grew large (huge pages, or memory for more than
// 256Ki symbols touched, by any read, failed or not) is freed when its loan
// ends, so little memory outlives a call. A loan belongs to one thread; loans
// may be taken and given back on any threads at once.
class LentDecoder {
 public:
  LentDecoder();
  ~LentDecoder();
  LentDecoder(const LentDecoder&) = delete;
  LentDecoder& operator=(const LentDecoder&) = delete;

  Decoder& operator*() const { return *decoder_; }
  Decoder* operator->() const { return decoder_; }

 private:
  Decoder* decoder_;
};

// Decodes the presumed block magic at `bit_offset` with a fresh Decoder, under
// the level-9 limits; `symbols` lets the caller apply the stream's own limit.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc);

// The same with a Decoder of the caller's, reused from candidate to candidate,
// so that its working memory is mapped once, and the output written into
// `out` (a buffer reused from the last block keeps its pages). The result is
// the same as with a fresh Decoder.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc, Decoder& decoder, BlockBuffer out = {});

// The first step of decode_candidate alone: checks the offset and the magic,
// then reads the block (level 9) unless `wanted` gives it up (nothing).
Result<std::optional<BlockShape>> read_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                                 std::uint32_t expected_crc, Decoder& decoder, const Wanted& wanted);

}  // namespace morvane::decoder
