// One block from its stored CRC to its checked output, and the stateless
// candidate decode of the speculative engine.
#include "morvane/decoder/block.hpp"

#include <atomic>
#include <cassert>

#include "morvane/constants.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/decoder/stages.hpp"
#include "morvane/decoder/workspace.hpp"

namespace morvane::decoder {
namespace {

inline constexpr unsigned kGroups = 16;  // byte values in groups of 16, one map bit each
// A block with room for this many symbols in its selectors gets a workspace
// of huge pages: its inverse transform walks megabytes at random.
inline constexpr std::uint64_t kHugePageSymbols = 131072;

// Idle decoders kept for the next loan, and the most symbols' worth of memory
// one of them may have touched (7 bytes each: 1.8 MB), failed reads included.
inline constexpr std::size_t kLentSlots = 4;
inline constexpr std::size_t kLentSymbols = 262144;
// Slots taken and filled by exchange: no lock, so a fork never inherits one held.
std::atomic<Decoder*> idle_decoders[kLentSlots];
// In the sanitizer and fuzzer builds no decoder outlives its loan, so that no
// finding depends on what an earlier call left behind.
#if defined(MORVANE_PLAIN_ALLOCATION)
inline constexpr bool kKeepIdle = false;
#else
inline constexpr bool kKeepIdle = true;
#endif

}  // namespace

struct Decoder::State {
  // The block between read and finish.
  struct Pending {
    std::uint64_t block_start;
    std::uint64_t output_limit;
    std::uint32_t stored_crc;
    std::uint32_t origin;
    std::uint32_t symbols;
    // Known once inverted: the repeat counts found and the output's length.
    std::uint32_t runs;
    std::uint64_t length;
    bool inverted = false;
  };

  Workspace work;
  stages::CodingTables tables;  // kept for their storage
  std::optional<Pending> pending;
  std::uint64_t read_cost = 0;
};

Decoder::Decoder() : state_(std::make_unique<State>()) {}
Decoder::~Decoder() = default;

Result<BlockShape> Decoder::read(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc) {
  auto shape = read_if(bits, level, expected_crc, Wanted{});
  if (!shape) return fail(std::move(shape.error()));
  return **shape;  // a block that is always wanted is never given up
}

Result<std::optional<BlockShape>> Decoder::read_if(Bits& bits, std::uint8_t level,
                                                   std::optional<std::uint32_t> expected_crc, const Wanted& wanted) {
  state_->pending.reset();
  const std::uint64_t from = bits.pos();
  std::uint32_t written = 0;
  auto shape = read_fields(bits, level, expected_crc, wanted, written);
  // Whatever the outcome: the bits it read and the entries it wrote.
  state_->work.note_use(written);
  state_->read_cost = (bits.pos() > from ? bits.pos() - from : 0) + written;
  return shape;
}

Result<std::optional<BlockShape>> Decoder::read_fields(Bits& bits, std::uint8_t level,
                                                       std::optional<std::uint32_t> expected_crc,
                                                       const Wanted& wanted, std::uint32_t& written) {
  const std::uint64_t block_start = bits.pos() >= kMagicBits ? bits.pos() - kMagicBits : 0;
  const auto whole_block = [&](DecodeError kind) { return fail(Error::decode(block_start, kind)); };
  // Callers validate the level; one outside 1..9 would give blocks longer than
  // the transform's links can name (inverse.cpp), so it is refused rather than
  // trusted.
  if (level < kMinLevel || level > kMaxLevel) return whole_block(DecodeError::InvalidLevel);

  auto stored_crc = bits.read(kCrcBits);
  if (!stored_crc) return fail(std::move(stored_crc.error()));
  if (expected_crc && *expected_crc != *stored_crc) return whole_block(DecodeError::InvalidBlock);

  auto randomised = bits.bit();
  if (!randomised) return fail(std::move(randomised.error()));
  if (*randomised) return whole_block(DecodeError::RandomizedBlock);

  auto origin = bits.read(kOriginBits);
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

  auto read = stages::read_tables(bits, mtf.size + 2, state_->tables, wanted);
  if (!read) return fail(std::move(read.error()));
  if (!*read) return std::optional<BlockShape>();

  state_->work.prepare(state_->tables.selectors.size() * stages::kGroupSize >= kHugePageSymbols);
  const auto max_symbols = static_cast<std::uint32_t>(level * kSymbolsPerLevel);
  auto n = stages::decode_symbols(bits, state_->tables, mtf, state_->work.tt(), max_symbols, wanted, written);
  if (!n) return fail(std::move(n.error()));
  if (*n == stages::kAbandoned) return std::optional<BlockShape>();
  if (*origin >= *n) return whole_block(DecodeError::InvalidBlock);

  state_->pending = State::Pending{block_start, max_block_output(level), *stored_crc, *origin, *n, 0, 0};
  return std::optional<BlockShape>(BlockShape{bits.pos(), *stored_crc, *n});
}

Result<std::uint64_t> Decoder::invert() {
  assert(state_->pending.has_value() && !state_->pending->inverted);
  State::Pending& block = *state_->pending;
  Workspace& work = state_->work;
  stages::inverse_transform(work.tt(), block.symbols, block.origin, work.bytes(), work.scratch(block.symbols));
  const std::span<const std::uint8_t> bytes(work.bytes(), block.symbols);
  // The transform is done with its scratch: the places of the repeat counts go there.
  auto runs = stages::scan_runs(bytes, block.output_limit, block.block_start, work.counts());
  if (!runs) {
    state_->pending.reset();
    return fail(std::move(runs.error()));
  }
  block.inverted = true;
  block.runs = runs->runs;
  block.length = runs->length;
  return runs->length;
}

Result<void> Decoder::expand(BlockBuffer& out) {
  assert(state_->pending.has_value() && state_->pending->inverted);
  const State::Pending block = *state_->pending;
  state_->pending.reset();
  Workspace& work = state_->work;
  out.resize(static_cast<std::size_t>(block.length));
  stages::expand_runs(std::span(work.bytes(), block.symbols), std::span(work.counts(), block.runs), out.data());
  if (crc32_bzip2(out) != block.stored_crc) return fail(Error::decode(block.block_start, DecodeError::CrcMismatch));
  return {};
}

Result<void> Decoder::finish(BlockBuffer& out) {
  if (auto inverted = invert(); !inverted) return fail(std::move(inverted.error()));
  return expand(out);
}

Result<DecodedBlock> Decoder::block(Bits& bits, std::uint8_t level, std::optional<std::uint32_t> expected_crc) {
  auto shape = read(bits, level, expected_crc);
  if (!shape) return fail(std::move(shape.error()));
  DecodedBlock decoded{BlockBuffer(), shape->stored_crc, shape->symbols};
  if (auto finished = finish(decoded.data); !finished) return fail(std::move(finished.error()));
  return decoded;
}

std::uint64_t Decoder::read_cost() const { return state_->read_cost; }

std::size_t Decoder::memory_touched() const {
  std::size_t bytes = state_->work.touched_bytes() + state_->tables.selectors.capacity();
  for (const Huffman& table : state_->tables.tables) bytes += table.storage_bytes();
  return bytes;
}

bool Decoder::small_when_idle() const {
  return state_->work.small() && memory_touched() <= kLentSymbols * Workspace::kBytesPerSymbol;
}

LentDecoder::LentDecoder() : decoder_(nullptr) {
  if (!kKeepIdle) {
    decoder_ = new Decoder();
    return;
  }
  for (auto& slot : idle_decoders) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    if ((decoder_ = slot.exchange(nullptr, std::memory_order_acquire)) != nullptr) return;
  }
  decoder_ = new Decoder();
}

LentDecoder::~LentDecoder() {
  if (kKeepIdle && decoder_->small_when_idle()) {
    for (auto& slot : idle_decoders) {
      Decoder* empty = nullptr;
      if (slot.compare_exchange_strong(empty, decoder_, std::memory_order_release)) return;
    }
  }
  delete decoder_;
}

Result<std::optional<BlockShape>> read_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                                 std::uint32_t expected_crc, Decoder& decoder, const Wanted& wanted) {
  Bits bits(data, bit_offset);
  decoder.state_->read_cost = 0;  // a candidate that fails before its fields costs nothing
  if (bit_offset > bits.total_bits()) return fail(Error::decode(bit_offset, DecodeError::Truncated));
  auto magic = bits.magic();
  if (!magic) return fail(std::move(magic.error()));
  if (*magic != kBlockMagic) return fail(Error::decode(bit_offset, DecodeError::InvalidMagic));
  return decoder.read_if(bits, kMaxLevel, expected_crc, wanted);
}

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc, Decoder& decoder, BlockBuffer out) {
  auto shape = read_candidate(data, bit_offset, expected_crc, decoder, Wanted{});
  if (!shape) return fail(std::move(shape.error()));
  DecodedCandidate decoded{std::move(out), (*shape)->end_bit, (*shape)->symbols};
  if (auto finished = decoder.finish(decoded.data); !finished) return fail(std::move(finished.error()));
  return decoded;
}

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                          std::uint32_t expected_crc) {
  LentDecoder decoder;
  return decode_candidate(data, bit_offset, expected_crc, *decoder);
}

}  // namespace morvane::decoder
