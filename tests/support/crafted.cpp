#include "support/crafted.hpp"

#include <stdexcept>

#include "morvane/decoder/crc32.hpp"
#include "support/bz2_tools.hpp"

namespace morvane::test {
namespace {

bool plantable(const BitString& bits, unsigned tables) {
  unsigned run = 0;
  for (bool bit : bits) {
    run = bit ? run + 1 : 0;
    if (run >= tables) return false;
  }
  return !bits.empty() && !bits.back();
}

// How many bits a block's fields take from its magic up to its first selector.
std::uint64_t bits_before_selectors(const BlockFields& fields) {
  BlockFields head;
  head.used = fields.used;
  head.group_map = fields.group_map;
  BitWriter scratch;
  const BlockLayout at = write_block(scratch, head);
  return at.selector_count + 15 - at.start;
}

}  // namespace

BitString bits_of(const BitWriter& out, std::uint64_t from, std::uint64_t to) {
  BitString bits;
  bits.reserve(to - from);
  for (std::uint64_t i = from; i < to; ++i) bits.push_back((out.bytes()[i / 8] >> (7 - i % 8)) & 1);
  return bits;
}

BitString forged_block(std::uint32_t symbols) {
  for (; symbols >= 5; symbols -= 5) {
    BlockFields f = run_block(symbols);
    // The output, computed by the final stage's rule: 4 bytes and 255 more per 5 symbols.
    const std::vector<std::uint8_t> output(std::size_t{symbols} / 5 * 259 + symbols % 5, 0xFF);
    f.stored_crc = decoder::crc32_bzip2(output);
    BitWriter out;
    const BlockLayout at = write_block(out, f);
    BitString bits = bits_of(out, at.start, at.end);
    if (plantable(bits, kPlantTables)) return bits;
  }
  throw std::logic_error("no plantable forged block");
}

BitString magic_bits(std::uint64_t magic, std::size_t length) {
  BitString bits(length, false);
  for (std::size_t i = 0; i < 48; ++i) bits[i] = (magic >> (47 - i)) & 1;
  return bits;
}

StreamMaker::StreamMaker(Extent extent) : extent_(extent) { write_stream_header(out_, 9); }

bool StreamMaker::wants_more() const {
  return result_.real.size() < extent_.blocks || out_.pos() / 8 < extent_.min_bytes;
}

BlockLayout StreamMaker::add(const BlockFields& fields, std::span<const std::uint8_t> decoded) {
  const BlockLayout layout = write_block(out_, fields);
  result_.real.push_back(layout.start);
  result_.ends.push_back(layout.end);
  if (extent_.keep_decoded) result_.decoded.insert(result_.decoded.end(), decoded.begin(), decoded.end());
  combined_ = combine_crc(combined_, fields.stored_crc);
  return layout;
}

Planted StreamMaker::finish() {
  write_stream_end(out_, combined_);
  result_.compressed = out_.take();
  return std::move(result_);
}

void add_hiding_block(StreamMaker& maker, BlockFields fields, std::span<const std::uint8_t> decoded,
                      const Hiding& hiding) {
  for (auto& lengths : fields.lengths) lengths = fields.lengths.at(0);
  // Each zero bit ends one selector's unary code.
  std::vector<std::uint32_t> codes;
  std::vector<std::size_t> starts;  // the code each hidden string begins with
  std::uint64_t at = maker.out().pos() + bits_before_selectors(fields);
  std::uint32_t run = 0;
  std::size_t bits = 0;
  const auto put = [&](bool bit) {
    ++bits;
    ++at;
    if (bit) {
      ++run;
    } else {
      codes.push_back(run);
      run = 0;
    }
  };
  for (const BitString& string : hiding.hidden) {
    if (!plantable(string, fields.tables)) throw std::invalid_argument("string cannot be planted");
    while (at % hiding.align != 0) put(false);
    starts.push_back(codes.size());
    for (bool bit : string) put(bit);
  }
  while (bits < hiding.selector_bits || codes.size() < fields.selectors.size()) put(false);
  fields.selectors.clear();
  fields.selector_codes = codes;
  const BlockLayout layout = maker.add(fields, decoded);
  for (std::size_t code : starts) maker.planted().planted.push_back(layout.selector_starts[code]);
}

Planted planted_stream(std::size_t blocks, const std::vector<BitString>& hidden, std::size_t selector_bits,
                       std::size_t text_length) {
  StreamMaker maker({.blocks = blocks});
  for (std::size_t b = 0; b < blocks; ++b) {
    const auto data = text_bytes(text_length, 40 + b);
    add_hiding_block(maker, block_from_bytes(data, kPlantTables), data, {hidden, selector_bits});
  }
  return maker.finish();
}

Planted forged_chains(std::size_t blocks, std::size_t per_block) {
  const BitString forged = forged_block();
  return planted_stream(blocks, std::vector<BitString>(per_block, forged), per_block * forged.size() + 64, 200);
}

}  // namespace morvane::test
