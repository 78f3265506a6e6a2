#include "support/crafted.hpp"

#include <stdexcept>

#include "morvane/decoder/crc32.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

namespace morvane::test {
namespace {

inline constexpr unsigned kPlantTables = 6;  // a planted string may hold runs of up to 5 ones

BitString bits_of(const BitWriter& out, std::uint64_t from, std::uint64_t to) {
  BitString bits;
  for (std::uint64_t i = from; i < to; ++i) bits.push_back((out.bytes()[i / 8] >> (7 - i % 8)) & 1);
  return bits;
}

bool plantable(const BitString& bits) {
  unsigned run = 0;
  for (bool bit : bits) {
    run = bit ? run + 1 : 0;
    if (run >= kPlantTables) return false;
  }
  return !bits.empty() && !bits.back();
}

}  // namespace

BitString forged_block(std::uint32_t symbols) {
  for (; symbols >= 5; symbols -= 5) {
    BlockFields f;
    f.used = {0xFF};
    f.tables = 2;
    f.selectors = {0};
    f.lengths = {{2, 2, 2}, {2, 2, 2}};  // RUNA, RUNB, end of block
    f.symbols = run_symbols(symbols);
    f.symbols.push_back(f.end_of_block());
    // The output, computed by the final stage's rule: 4 bytes and 255 more per 5 symbols.
    const std::vector<std::uint8_t> output(std::size_t{symbols} / 5 * 259 + symbols % 5, 0xFF);
    f.stored_crc = decoder::crc32_bzip2(output);
    BitWriter out;
    const BlockLayout at = write_block(out, f);
    BitString bits = bits_of(out, at.start, at.end);
    if (plantable(bits)) return bits;
  }
  throw std::logic_error("no plantable forged block");
}

BitString magic_bits(std::uint64_t magic, std::size_t length) {
  BitString bits(length, false);
  for (std::size_t i = 0; i < 48; ++i) bits[i] = (magic >> (47 - i)) & 1;
  return bits;
}

Planted planted_stream(std::size_t blocks, const std::vector<BitString>& hidden, std::size_t selector_bits,
                       std::size_t text_length) {
  Planted result;
  BitWriter out;
  write_stream_header(out, 9);
  std::uint32_t combined = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    auto data = text_bytes(text_length, 40 + b);
    BlockFields fields = block_from_bytes(data, kPlantTables);
    for (auto& lengths : fields.lengths) lengths = fields.lengths[0];
    // Each zero bit ends one selector's unary code.
    std::vector<std::uint32_t> codes;
    std::vector<std::size_t> starts;  // the code each hidden string begins with
    std::uint32_t run = 0;
    std::size_t bits = 0;
    const auto put = [&](bool bit) {
      ++bits;
      if (bit) {
        ++run;
      } else {
        codes.push_back(run);
        run = 0;
      }
    };
    for (const BitString& string : hidden) {
      if (!plantable(string)) throw std::invalid_argument("string cannot be planted");
      starts.push_back(codes.size());
      for (bool bit : string) put(bit);
    }
    while (bits < selector_bits || codes.size() < fields.selectors.size()) put(false);
    fields.selectors.clear();
    fields.selector_codes = codes;
    const BlockLayout layout = write_block(out, fields);
    result.real.push_back(layout.start);
    for (std::size_t at : starts) result.planted.push_back(layout.selector_starts[at]);
    result.decoded.insert(result.decoded.end(), data.begin(), data.end());
    combined = combine_crc(combined, fields.stored_crc);
  }
  write_stream_end(out, combined);
  result.compressed = out.take();
  return result;
}

Planted forged_chains(std::size_t blocks, std::size_t per_block) {
  const BitString forged = forged_block();
  return planted_stream(blocks, std::vector<BitString>(per_block, forged), per_block * forged.size() + 64, 200);
}

}  // namespace morvane::test
