#include "support/crafted_inputs.hpp"

#include <array>

#include "morvane/decoder/crc32.hpp"
#include "support/bz2_tools.hpp"

namespace morvane::test {
namespace {

constexpr std::array<std::uint8_t, 4> kHeader = {'B', 'Z', 'h', '9'};
constexpr std::size_t kHeaderZeros = 19;   // zero bits in "BZh9": one selector each
constexpr std::size_t kPatternText = 1500;    // bytes of text per header-pattern block
constexpr std::size_t kPatternTexts = 16;     // distinct texts, used in turn

}  // namespace

Planted run_heavy(Extent extent, std::uint32_t symbols) {
  BlockFields f;
  f.used = {0xFF};
  f.tables = 2;
  f.symbols = run_symbols(symbols);
  f.symbols.push_back(f.end_of_block());
  fit_selectors(f);
  fit_lengths(f);
  // Every byte of the Burrows-Wheeler column is 0xFF, so the origin is 0 and
  // the final stage reads four bytes and a count of 255 per five symbols.
  const std::vector<std::uint8_t> output(std::size_t{symbols} / 5 * 259 + symbols % 5, 0xFF);
  f.stored_crc = decoder::crc32_bzip2(output);
  StreamMaker maker(extent);
  while (maker.wants_more()) maker.add(f, output);
  return maker.finish();
}

std::size_t max_header_copies() {
  // Up to 7 zero bits of alignment before the copies and one after them.
  return (kMaxSelectors - 8) / kHeaderZeros;
}

Planted header_patterns(Extent extent, std::size_t copies) {
  BitString headers;
  for (std::size_t i = 0; i < copies; ++i)
    for (std::uint8_t byte : kHeader)
      for (int bit = 7; bit >= 0; --bit) headers.push_back((byte >> bit) & 1);
  headers.push_back(false);  // a selector ends with a zero bit
  const Hiding hiding{{headers}, 0, 8};

  std::vector<std::vector<std::uint8_t>> texts;
  std::vector<BlockFields> fields;
  for (std::size_t t = 0; t < kPatternTexts; ++t) {
    texts.push_back(text_bytes(kPatternText, 60 + t));
    fields.push_back(block_from_bytes(texts.back(), kPlantTables));
  }
  StreamMaker maker(extent);
  for (std::size_t b = 0; maker.wants_more(); ++b)
    add_hiding_block(maker, fields[b % kPatternTexts], texts[b % kPatternTexts], hiding);
  return maker.finish();
}

std::vector<std::uint8_t> repeated_headers(std::size_t length) {
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = kHeader[i % kHeader.size()];
  return out;
}

Planted over_marker_cap(std::size_t magics) {
  const auto data = bytes_of("a");
  StreamMaker maker({});
  add_hiding_block(maker, block_from_bytes(data, kPlantTables), data,
                   {std::vector<BitString>(magics, magic_bits(kBlockMagicBits, 49)), 0, 1});
  return maker.finish();
}

}  // namespace morvane::test
