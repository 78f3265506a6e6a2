#include "support/fuzz_stream.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <stdexcept>

#include "morvane/constants.hpp"
#include "support/bit_writer.hpp"
#include "support/block_builder.hpp"
#include "support/reference_scan.hpp"
#include "support/symbol_block.hpp"

namespace morvane::test {
namespace {

// Blocks stay small enough for the builder's transform to be quick; the
// large mode gets its size from repeating them, its first block being larger
// and the others smaller, so that the decoded total stays some tens of MiB.
inline constexpr std::size_t kMaxRle = 16 << 10;
inline constexpr std::size_t kMaxBlockData = 1 << 20;
inline constexpr std::size_t kMaxRepeatedData = 16 << 10;
inline constexpr std::uint64_t kLargeInput = std::uint64_t{1} << 20;
inline constexpr unsigned kMaxTableNumber = 7;
inline constexpr unsigned kCodeSpaceBits = kMaxCodeLength;

// Reads the choices off the fuzz bytes, front to back. Past the end every
// choice is 0, and 0 always picks the plainest valid option.
class Choices {
 public:
  explicit Choices(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  // Several bytes, first one most significant (each read in its own statement:
  // the operands of one expression are read in no fixed order).
  std::uint32_t u16() {
    const std::uint32_t high = byte();
    return high << 8 | byte();
  }
  std::uint32_t u24() {
    const std::uint32_t high = u16();
    return high << 8 | byte();
  }
  std::uint32_t u32() {
    const std::uint32_t high = u16();
    return high << 16 | u16();
  }
  // A number below `n`, 1 <= n <= 65536.
  std::uint32_t below(std::uint32_t n) { return (n <= 256 ? byte() : u16()) % n; }
  // Up to `n` bytes; fewer once the input runs out.
  std::span<const std::uint8_t> take(std::size_t n) {
    const std::size_t k = std::min(n, bytes_.size() - at_);
    const auto out = bytes_.subspan(at_, k);
    at_ += k;
    return out;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Filler where the fuzz bytes have run out: a fixed sequence from a seed.
class Filler {
 public:
  explicit Filler(std::uint64_t seed) : state_(seed) {}
  std::uint8_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return static_cast<std::uint8_t>(z ^ (z >> 31));
  }

 private:
  std::uint64_t state_;
};

using Bytes = std::vector<std::uint8_t>;

// `n` bytes: the first few from the fuzz bytes, the rest filler seeded by
// them, so that a long literal block leaves the fuzz bytes to the choices
// that follow.
Bytes literal_data(Choices& c, std::size_t n) {
  const auto taken = c.take(std::min<std::size_t>(n, 64));
  Bytes out(taken.begin(), taken.end());
  std::uint64_t seed = n;
  for (const std::uint8_t b : out) seed = seed * 131 + b;
  Filler filler(seed);
  while (out.size() < n) out.push_back(filler.next());
  return out;
}

// Runs of chosen bytes: short ones, ones around the 4 + 255 a run-length
// record holds, and long ones.
Bytes run_data(Choices& c) {
  Bytes out;
  for (unsigned runs = 1 + c.below(12); runs-- > 0 && out.size() < kMaxBlockData;) {
    const std::uint8_t value = c.byte();
    std::size_t length = 0;
    switch (c.below(4)) {
      case 0: length = 1 + c.below(7); break;
      case 1: length = 252 + c.below(16); break;
      case 2: length = 1 + c.u16(); break;
      default: length = std::size_t{1 + c.below(4)} << 18; break;
    }
    out.insert(out.end(), std::min(length, kMaxBlockData - out.size()), value);
  }
  return out;
}

Bytes text_data(Choices& c) {
  static constexpr std::string_view kWords[] = {"the ", "block ", "stream ", "index ", "of ", "bzip2", "\n", "  ",
                                                 "aaaa", "zz",    "é",       "\t",     "data ", "BZh9", "1AY&SY",
                                                 std::string_view("\0\0", 2)};
  Bytes out;
  for (std::uint32_t words = 1 + c.below(300); words-- > 0;) {
    const std::string_view word = kWords[c.below(std::size(kWords))];
    out.insert(out.end(), word.begin(), word.end());
  }
  return out;
}

Bytes pattern_data(Choices& c) {
  const Bytes pattern = literal_data(c, 1 + c.below(16));
  Bytes out;
  for (std::uint32_t n = 1 + c.below(2048 / pattern.size()); n-- > 0;) {
    out.insert(out.end(), pattern.begin(), pattern.end());
  }
  return out;
}

Bytes block_data(Choices& c, bool bulk) {
  // The first block of a large input: literal data of a few KiB (or, below,
  // thousands of selectors), so that a megabyte takes a few hundred blocks
  // rather than tens of thousands.
  if (bulk) return literal_data(c, 4096 + c.below(12288));
  switch (c.below(4)) {
    case 0: return literal_data(c, 1 + c.below(1024));
    case 1: return run_data(c);
    case 2: return text_data(c);
    default: return pattern_data(c);
  }
}

// A block whose Burrows-Wheeler column is chosen directly: any bytes (often
// a permutation of several cycles, which no compressor makes) and any
// origin. Its data is what the inverse transform and the final run-length
// stage make of them; `length` gets the column's length.
BlockFields chosen_transform(Choices& c, unsigned level, Bytes& data, std::size_t& length) {
  Bytes last = c.below(2) == 0 ? literal_data(c, 1 + c.below(4096)) : run_data(c);
  last.resize(std::min<std::size_t>({last.size(), 4096, level * kSymbolsPerLevel}));
  BlockFields f;
  const std::uint32_t origin = c.u24();
  Bytes walked;
  // Shorter until the output does not end wanting a repeat count.
  for (;; last.pop_back()) {
    f.origin = origin % static_cast<std::uint32_t>(last.size());
    walked = walk_of(last, f.origin);
    if (!awaits_count(walked)) break;
  }
  length = last.size();
  data = undo_initial_rle(walked);
  f.stored_crc = crc32(data);
  std::array<bool, 256> seen{};
  for (const std::uint8_t b : last) seen[b] = true;
  for (unsigned b = 0; b < 256; ++b) {
    if (seen[b]) f.used.push_back(static_cast<std::uint8_t>(b));
  }
  f.symbols = mtf_symbols(last, f.used);
  return f;
}

// Cuts `data` until its run-length form fits the level and `cap`.
Bytes fitted_rle(Bytes& data, unsigned level, std::size_t cap) {
  cap = std::min<std::size_t>(cap, level * kSymbolsPerLevel);
  for (;;) {
    Bytes rle = initial_rle(data);
    if (rle.size() <= cap) return rle;
    data.resize(data.size() / 2);
  }
}

// Each table's weights: one for every symbol, plus its uses in the table's groups.
std::vector<std::vector<std::uint64_t>> table_weights(const BlockFields& f) {
  std::vector<std::vector<std::uint64_t>> weights(f.tables, std::vector<std::uint64_t>(f.alphabet(), 1));
  for (std::size_t i = 0; i < f.symbols.size(); ++i) {
    const std::size_t group = std::min(i / kSymbolsPerSelector, f.selectors.size() - 1);
    weights.at(f.selectors[group]).at(f.symbols[i]) += 1;
  }
  return weights;
}

void choose_selectors(Choices& c, BlockFields& f) {
  fit_selectors(f);
  switch (c.below(4)) {
    case 0: break;
    case 1:
      for (auto& s : f.selectors) s = static_cast<std::uint8_t>(c.below(f.tables));
      break;
    case 2:
      std::fill(f.selectors.begin(), f.selectors.end(), 0);
      break;
    default:  // more selectors than groups: the decoder reads and ignores them
      for (std::uint32_t extra = 1 + c.below(64); extra-- > 0;) {
        f.selectors.push_back(static_cast<std::uint8_t>(c.below(f.tables)));
      }
  }
}

// Pads the selector list up to `count` selectors (at most the 32767 the
// field holds) that take the table numbers in turn, so that every one is the
// longest code: a block of few symbols and thousands of bytes.
void pad_selectors(BlockFields& f, std::size_t count) {
  for (std::size_t i = f.selectors.size(); i < count; ++i) {
    f.selectors.push_back(static_cast<std::uint8_t>(i % f.tables));
  }
}

unsigned shortest_complete_length(std::size_t alphabet) {
  return static_cast<unsigned>(std::bit_width(alphabet - 1));
}

void choose_lengths(Choices& c, BlockFields& f) {
  auto weights = table_weights(f);
  const unsigned mode = c.below(4);
  f.lengths.clear();
  for (auto& table : weights) {
    unsigned max_length = kMaxCodeLength;
    if (mode == 1) {
      for (auto& w : table) w = 1 + c.byte();
    }
    if (mode == 1 || mode == 3) {
      // Deep enough for a complete code of equal weights, with a step to spare.
      const unsigned least = shortest_complete_length(table.size()) + 1;
      max_length = least + c.below(kMaxCodeLength - least + 1);
    }
    f.lengths.push_back(code_lengths(table, max_length));
  }
  if (mode == 2) {
    // An incomplete code: one code made a bit longer leaves a gap no code uses.
    auto& table = f.lengths[c.below(f.tables)];
    auto& length = table[c.below(static_cast<std::uint32_t>(table.size()))];
    if (length < kMaxCodeLength) ++length;
  }
  if (c.below(3) == 2) {
    f.start_lengths.clear();
    for (unsigned t = 0; t < f.tables; ++t) f.start_lengths.push_back(static_cast<std::uint8_t>(1 + c.below(20)));
  }
}

// The move-to-front positions that write the selectors, as the format codes them.
std::vector<std::uint32_t> selector_codes(const std::vector<std::uint8_t>& selectors) {
  std::array<std::uint8_t, kMaxTableNumber + 1> order{};
  std::iota(order.begin(), order.end(), std::uint8_t{0});
  std::vector<std::uint32_t> codes;
  for (const std::uint8_t s : selectors) {
    std::size_t at = 0;
    while (at < order.size() && order[at] != s) ++at;
    if (at == order.size()) throw std::invalid_argument("a selector past the last table");
    codes.push_back(static_cast<std::uint32_t>(at));
    for (; at > 0; --at) order[at] = order[at - 1];
    order[0] = s;
  }
  return codes;
}

// A run block whose CRC (0) its output does not have: a false candidate that
// reads without fault and costs its reader an entry per symbol.
BitWriter forged_block(std::uint32_t symbols) {
  BitWriter out;
  write_block(out, run_block(symbols));
  return out;
}

// Hides up to `count` false markers in extra selectors: block magics back to
// back (six bytes each, denser than the marker cap allows), an end magic and
// the 32 bits after it, or a forged block. A selector is a run of ones ended
// by a zero, shorter than the table count (at least 4 here, more than either
// magic's longest run of ones), so such a bit string reads as selectors that
// no group uses. `forged`: forged blocks only, which cost the engine's
// speculation; a block can hide some hundred of them. Stops where the 15-bit
// selector count would overflow; gives the number planted.
unsigned plant_magics(Choices& c, BlockFields& f, unsigned count, bool forged) {
  constexpr std::size_t kMaxSelectors = (1 << 15) - 1;
  constexpr std::size_t kMostPerItem = 256;  // selectors: the zero bits of one item
  f.selector_codes = selector_codes(f.selectors);
  std::uint32_t ones = 0;
  const auto put = [&](bool bit) {
    if (bit && ones + 1 < f.tables) {
      ++ones;
    } else {
      f.selector_codes.push_back(ones);
      ones = 0;
    }
  };
  const auto put_bits = [&](std::uint64_t value, unsigned n) {
    for (unsigned b = n; b-- > 0;) put((value >> b) & 1);
  };
  unsigned planted = 0;
  for (; planted < count && f.selector_codes.size() + kMostPerItem < kMaxSelectors; ++planted) {
    const unsigned kind = forged ? 7 : c.below(8);
    if (kind < 5) {
      put_bits(kBlockMagic, kMagicBits);
    } else if (kind < 7) {
      put_bits(kEndMagic, kMagicBits);
      put_bits(c.u32(), kCrcBits);
    } else {
      const BitWriter block = forged_block(static_cast<std::uint32_t>(kMaxBlockSymbols) - 1000 * c.byte());
      for (std::uint64_t b = 0; b < block.pos(); ++b) put((block.bytes()[b / 8] >> (7 - b % 8)) & 1);
    }
  }
  put(false);
  return planted;
}

std::uint64_t kraft_sum(const std::vector<std::uint8_t>& lengths) {
  std::uint64_t sum = 0;
  for (const std::uint8_t len : lengths) sum += std::uint64_t{1} << (kCodeSpaceBits - std::min<unsigned>(len, 20));
  return sum;
}

void over_subscribe(BlockFields& f, std::uint32_t where) {
  const unsigned t = where % f.tables;
  if ((where >> 8) & 1) {
    // Nothing selects the table: a decoder that never builds it still decodes.
    const auto other = static_cast<std::uint8_t>((t + 1) % f.tables);
    std::fill(f.selectors.begin(), f.selectors.end(), other);
    f.lengths.clear();
    for (const auto& table : table_weights(f)) f.lengths.push_back(code_lengths(table));
  }
  auto& lengths = f.lengths[t];
  auto& shortened = lengths[(where >> 9) % lengths.size()];
  if (shortened > 1) shortened = static_cast<std::uint8_t>(1 + (where >> 17) % (shortened - 1));
  if (kraft_sum(lengths) <= (std::uint64_t{1} << kCodeSpaceBits)) std::fill_n(lengths.begin(), 3, 1);
}

void break_lengths(BlockFields& f, std::uint32_t where) {
  const unsigned t = where % f.tables;
  const std::uint8_t wrong = (where >> 8) & 1 ? 0 : kMaxCodeLength + 1;
  if ((where >> 9) & 1) {
    f.start_lengths.resize(f.tables, 0);
    for (unsigned i = 0; i < f.tables; ++i) {
      if (f.start_lengths[i] == 0) f.start_lengths[i] = f.lengths[i][0];
    }
    f.start_lengths[t] = wrong;
  } else {
    f.lengths[t][(where >> 10) % f.lengths[t].size()] = kMaxCodeLength + 1;
  }
}

// The damages to a block's symbols, made before they are coded.
void damage_symbols(BlockFields& f, Damage damage) {
  if (damage == Damage::kEmptyBlock) {
    f.symbols = {f.end_of_block()};
    f.origin = 0;
  } else if (damage == Damage::kLongRun) {
    // Twenty RUNB digits count past 900000 however the run began.
    f.symbols.insert(f.symbols.end() - 1, 20, kRunB);
  }
}

// The damages to a block's fields once it is coded; `length`: of its
// Burrows-Wheeler column.
void damage_fields(Choices& c, BlockFields& f, Damage damage, std::uint32_t where, std::size_t length) {
  switch (damage) {
    case Damage::kBlockCrc: f.stored_crc ^= std::uint32_t{1} << (where % 32); break;
    case Damage::kRandomised: f.randomized = true; break;
    case Damage::kOrigin:
      f.origin = static_cast<std::uint32_t>(std::min<std::size_t>(length + where % 1000, 0xFFFFFF));
      break;
    case Damage::kNoBytesUsed: f.group_map = 0; break;
    case Damage::kTableCount: f.tables = std::array{0u, 1u, 7u}[where % 3]; break;
    case Damage::kSelectors:
      if (const std::size_t groups = (f.symbols.size() + kSymbolsPerSelector - 1) / kSymbolsPerSelector;
          groups > 1 && (where & 1)) {
        // Fewer selectors than groups: the last groups are written with the last one kept.
        f.selectors.resize(1 + (where >> 1) % (groups - 1));
      } else {
        f.selector_count = 0;
      }
      break;
    case Damage::kSelectorRange: {
      f.selector_codes = selector_codes(f.selectors);
      f.selector_codes[(where >> 8) % f.selector_codes.size()] = f.tables;
      break;
    }
    case Damage::kOverSubscribed: over_subscribe(f, where); break;
    case Damage::kLengthRange: break_lengths(f, where); break;
    case Damage::kBlockTail:
      for (unsigned bits = 1 + where % 7; bits-- > 0;) f.tail.push_back(c.byte() & 1);
      break;
    default: break;
  }
}

struct Plan {
  Damage damage;
  std::uint32_t where;  // which stream, block, table, bit: the damage's own choice
};

struct BuiltBlock {
  BlockFields fields;
  Bytes data;
};

enum class Size : std::uint8_t { kAny, kBulk, kRepeated };

// `grown`: a literal block of that length, else data of any kind.
BuiltBlock build_block(Choices& c, unsigned level, const Plan& plan, Size size, std::size_t grown,
                       std::uint64_t& planted) {
  Bytes data;
  BlockFields f;
  std::size_t length = 0;  // of the Burrows-Wheeler column
  if (size == Size::kAny && grown == 0 && c.below(8) == 7) {
    f = chosen_transform(c, level, data, length);
  } else {
    data = grown != 0 ? literal_data(c, grown) : block_data(c, size == Size::kBulk);
    if (size == Size::kRepeated && data.size() > kMaxRepeatedData) data.resize(kMaxRepeatedData);
    if (data.empty()) data.push_back(c.byte());
    const Bytes rle = fitted_rle(data, level, kMaxRle);
    length = rle.size();
    f = block_from_rle(rle);
  }
  damage_symbols(f, plan.damage);
  // Selector damages write selectors of their own: nothing is planted there.
  const bool plant = c.below(4) == 3 && plan.damage != Damage::kSelectors && plan.damage != Damage::kSelectorRange;
  f.tables = 2 + c.below(5);
  if (plant) f.tables = std::max(f.tables, 4u);
  choose_selectors(c, f);
  // Blocks made mostly of selectors: a large input then costs little to decode.
  if (size == Size::kBulk ? c.below(4) != 0 : c.below(64) == 63) pad_selectors(f, 8192 + c.below(24575));
  choose_lengths(c, f);
  damage_fields(c, f, plan.damage, plan.where, length);
  if (plant) {
    const bool forged = c.below(4) == 3;
    const unsigned count = forged ? 1 + c.below(128) : c.below(8) == 7 ? 256 + c.below(768) : 1 + c.below(8);
    planted += plant_magics(c, f, count, forged);
  }
  return {std::move(f), std::move(data)};
}

bool damages_a_block(Damage d) { return d >= Damage::kBlockCrc && d <= Damage::kBlockTail; }

void damage_bytes(Bytes& input, const Plan& plan, Choices& c) {
  switch (plan.damage) {
    case Damage::kTrailing: {
      const std::size_t n = 1 + plan.where % 8;
      const auto extra = c.take(n);
      input.insert(input.end(), extra.begin(), extra.end());
      input.resize(input.size() + n - extra.size(), 0);
      break;
    }
    case Damage::kTruncated: input.resize(plan.where % input.size()); break;
    case Damage::kBitFlip: {
      const std::uint64_t bit = plan.where % (8 * std::uint64_t{input.size()});
      input[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
      break;
    }
    default: break;
  }
}

// Appends the bits of `part` to `out`.
void append_bits(BitWriter& out, const BitWriter& part) {
  const std::uint64_t whole = part.pos() / 8;
  out.put_bytes(std::span(part.bytes()).first(whole));
  if (part.pos() % 8 != 0) out.put(part.bytes()[whole] >> (8 - part.pos() % 8), part.pos() % 8);
}

// One stream of `blocks` repeated until the input passes 1 MiB and `extra`
// bytes. Eight repetitions end on a byte boundary, so they are written bit
// by bit once and then copied whole.
void write_large_stream(BitWriter& out, const std::vector<BuiltBlock>& blocks, std::uint64_t extra,
                        FuzzStream& result, std::uint32_t& combined) {
  BitWriter unit;
  for (const auto& b : blocks) write_block(unit, b.fields);
  BitWriter eight;
  for (int i = 0; i < 8; ++i) append_bits(eight, unit);
  const std::uint64_t wanted = kLargeInput + extra;
  std::uint64_t repeats = 0;
  while (out.pos() / 8 + eight.bytes().size() <= wanted) {
    out.put_bytes(eight.bytes());
    repeats += 8;
  }
  for (; out.pos() / 8 <= wanted; ++repeats) append_bits(out, unit);
  for (std::uint64_t r = 0; r < repeats; ++r) {
    for (const auto& b : blocks) {
      combined = combine_crc(combined, b.fields.stored_crc);
      result.decoded.insert(result.decoded.end(), b.data.begin(), b.data.end());
    }
  }
  result.blocks += repeats * blocks.size();
}

}  // namespace

std::string_view damage_name(Damage damage) {
  static constexpr std::string_view kNames[] = {
      "none",       "block CRC",    "randomised",  "origin",     "no bytes used", "table count",
      "selectors",  "selector range", "over-subscribed", "length range", "empty block", "long run",
      "block tail", "stream CRC",   "level",       "trailing",   "truncated",     "bit flip"};
  static_assert(std::size(kNames) == kDamageKinds);
  return kNames[static_cast<unsigned>(damage)];
}

FuzzStream fuzz_stream(std::span<const std::uint8_t> bytes, bool large) {
  FuzzStream result;
  if (bytes.empty() || bytes[0] == 'B') {
    result.input.assign(bytes.begin(), bytes.end());
    return result;
  }
  result.built = true;
  Choices c(bytes.subspan(1));
  // Half the inputs are valid; the rest break one field each.
  const std::uint8_t d = c.byte();
  Plan plan{d < 128 ? Damage::kNone : static_cast<Damage>(1 + (d - 128) % (kDamageKinds - 1)), c.u24()};
  const std::uint64_t extra = large ? c.u16() : 0;

  struct StreamPlan {
    unsigned level;
    unsigned blocks;
    bool pad_with_ones;
    bool growing;  // each block longer than the last: no block's output fits a buffer of one before it
  };
  std::vector<StreamPlan> streams(large ? 1 : 1 + c.below(3));
  unsigned total_blocks = 0;
  for (auto& s : streams) {
    s.level = 1 + c.below(9);
    s.blocks = large ? 1 + c.below(4) : c.below(4);
    // Now and then many blocks, for the parallel road's window and free list.
    if (s.blocks == 3 && c.below(4) == 3) s.blocks += c.below(30);
    s.pad_with_ones = c.byte() & 1;
    s.growing = s.blocks > 3 && (c.byte() & 1);
    total_blocks += s.blocks;
  }
  if (damages_a_block(plan.damage) && total_blocks == 0) plan.damage = Damage::kStreamCrc;
  const unsigned damaged_block = total_blocks == 0 ? 0 : (plan.where >> 3) % total_blocks;
  const unsigned damaged_stream = plan.where % streams.size();

  BitWriter out;
  unsigned block_number = 0;
  for (std::size_t s = 0; s < streams.size(); ++s) {
    const StreamPlan& sp = streams[s];
    std::vector<BuiltBlock> blocks;
    for (unsigned b = 0; b < sp.blocks; ++b, ++block_number) {
      const bool here = damages_a_block(plan.damage) && block_number == damaged_block;
      const Size size = !large ? Size::kAny : b == 0 ? Size::kBulk : Size::kRepeated;
      const std::size_t grown = sp.growing ? 256 * (b + 1) : 0;
      blocks.push_back(build_block(c, sp.level, here ? plan : Plan{Damage::kNone, 0}, size, grown, result.planted));
    }
    const bool bad_level = plan.damage == Damage::kLevel && s == damaged_stream;
    write_stream_header(out, bad_level ? ((plan.where >> 8) & 1 ? 0 : 10 + (plan.where >> 9) % 200) : sp.level);
    std::uint32_t combined = 0;
    if (large) {
      write_large_stream(out, blocks, extra, result, combined);
    } else {
      for (const auto& b : blocks) {
        write_block(out, b.fields);
        combined = combine_crc(combined, b.fields.stored_crc);
        result.decoded.insert(result.decoded.end(), b.data.begin(), b.data.end());
      }
      result.blocks += blocks.size();
    }
    if (plan.damage == Damage::kStreamCrc && s == damaged_stream) combined ^= std::uint32_t{1} << (plan.where % 32);
    write_stream_end(out, combined, sp.pad_with_ones);
  }
  result.input = out.take();
  result.damage = plan.damage;
  damage_bytes(result.input, plan, c);
  return result;
}

namespace {

// A reader of the input's bits that notes when it runs past the end.
class BitCursor {
 public:
  BitCursor(std::span<const std::uint8_t> input, std::uint64_t pos) : input_(input), pos_(pos) {}
  std::uint32_t get(unsigned count) {
    if (pos_ + count > 8 * std::uint64_t{input_.size()}) {
      past_end_ = true;
      return 0;
    }
    const auto v = static_cast<std::uint32_t>(bits_at(input_, pos_, count));
    pos_ += count;
    return v;
  }
  std::uint64_t pos() const { return pos_; }
  bool past_end() const { return past_end_; }

 private:
  std::span<const std::uint8_t> input_;
  std::uint64_t pos_;
  bool past_end_ = false;
};

// Parses the header of the block whose magic is at `start` table by table;
// true when a table that over-subscribes the code space ends at `bit`.
bool block_over_subscribed_at(std::span<const std::uint8_t> input, std::uint64_t start, std::uint64_t bit) {
  BitCursor r(input, start + kBlockHeaderBits);
  const std::uint32_t groups = r.get(16);
  unsigned used = 0;
  for (unsigned g = 0; g < 16; ++g) {
    if (groups & (0x8000u >> g)) used += static_cast<unsigned>(std::popcount(r.get(16)));
  }
  const unsigned tables = r.get(3);
  if (r.past_end() || tables < 2 || tables > 6) return false;
  const std::uint32_t selectors = r.get(15);
  for (std::uint32_t i = 0; i < selectors; ++i) {
    unsigned ones = 0;
    while (r.get(1) == 1 && !r.past_end()) {
      if (++ones == tables) return false;
    }
  }
  for (unsigned t = 0; t < tables && !r.past_end(); ++t) {
    int length = static_cast<int>(r.get(5));
    std::uint64_t sum = 0;
    for (unsigned symbol = 0; symbol < used + 2; ++symbol) {
      for (;;) {
        if (length < 1 || length > static_cast<int>(kMaxCodeLength) || r.past_end()) return false;
        if (r.get(1) == 0) break;
        length += r.get(1) == 1 ? -1 : 1;
      }
      sum += std::uint64_t{1} << (kCodeSpaceBits - static_cast<unsigned>(length));
    }
    if (!r.past_end() && sum > (std::uint64_t{1} << kCodeSpaceBits)) return r.pos() == bit;
  }
  return false;
}

}  // namespace

bool over_subscribed_table_ends_at(std::span<const std::uint8_t> input, std::uint64_t bit) {
  for (const auto& block : reference_scan(input).blocks) {
    if (block.bit_offset >= bit) break;
    if (block_over_subscribed_at(input, block.bit_offset, bit)) return true;
  }
  return false;
}

bool randomised_block_at(std::span<const std::uint8_t> input, std::uint64_t bit) {
  return bit + kBlockHeaderBits <= 8 * std::uint64_t{input.size()} && bits_at(input, bit, kMagicBits) == kBlockMagic &&
         bits_at(input, bit + kMagicBits + kCrcBits, 1) == 1;
}

}  // namespace morvane::test
