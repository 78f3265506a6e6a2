// Writes the seeds that no compressor makes, from the block builder:
//   OUT/bz2/      streams with unusual but valid shapes, and refused ones
//                 (randomised block, over-subscribed table, trailing data);
//   OUT/reader/   inputs of the reader target: its image, forged images and
//                 sequences of reads and seeks.
// Usage: fuzz_crafted_seeds OUT
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "support/block_builder.hpp"

using namespace morvane;
using namespace morvane::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

void save(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

Bytes text(std::size_t n) {
  static const char* words[] = {"block ", "stream ", "index ", "the ", "of ", "bzip2\n", "aaaa", "zz"};
  Bytes out;
  for (std::uint32_t x = 7; out.size() < n;) {
    x = x * 1103515245 + 12345;
    for (const char* c = words[(x >> 16) % 8]; *c && out.size() < n; ++c) out.push_back(static_cast<std::uint8_t>(*c));
  }
  return out;
}

// One stream holding the given blocks (their CRCs combined as the format says).
Bytes stream_of(unsigned level, const std::vector<BlockFields>& blocks) {
  BitWriter out;
  write_stream_header(out, level);
  std::uint32_t combined = 0;
  for (const auto& b : blocks) {
    write_block(out, b);
    combined = combine_crc(combined, b.stored_crc);
  }
  write_stream_end(out, combined);
  return out.take();
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void bz2_seeds(const std::filesystem::path& dir) {
  const Bytes words = text(2000);
  const Bytes runs = concat({Bytes(3000, 'a'), Bytes(10, 'b'), Bytes(300, 0), text(50)});
  save(dir / "crafted-empty-stream", stream_of(1, {}));
  save(dir / "crafted-one-byte", stream_of(9, {block_from_bytes(Bytes{'x'})}));
  save(dir / "crafted-levels-1-9-5", concat({stream_of(1, {block_from_bytes(runs)}), stream_of(9, {}),
                                             stream_of(5, {block_from_bytes(words), block_from_bytes(text(3))})}));
  save(dir / "crafted-six-tables", stream_of(9, {block_from_bytes(words, 6)}));

  BlockFields randomised = block_from_bytes(words);
  randomised.randomized = true;
  save(dir / "crafted-randomised", stream_of(9, {randomised}));

  // Every selector picks table 0, and table 1 is over-subscribed: libbz2 never
  // looks at table 1's codes, this decoder refuses the table.
  BlockFields unused_table = block_from_bytes(words);
  for (auto& s : unused_table.selectors) s = 0;
  save(dir / "crafted-unused-table-incomplete", [&] {
    BlockFields f = unused_table;
    for (auto& len : f.lengths[1]) len = 20;
    return stream_of(9, {f});
  }());
  for (auto& len : unused_table.lengths[1]) len = 1;
  save(dir / "crafted-unused-table-over-subscribed", stream_of(9, {unused_table}));

  const Bytes valid = stream_of(9, {block_from_bytes(words)});
  save(dir / "crafted-trailing-zeros", concat({valid, Bytes(4, 0)}));
  save(dir / "crafted-trailing-bz", concat({valid, Bytes{'B', 'Z'}}));
}

// Operations of the reader target: the opcode byte, then its operands.
Bytes op_read(std::uint16_t n) { return {0, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
Bytes op_read_with(std::uint16_t n) { return {1, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
Bytes op_seek_start(std::uint16_t n) { return {2, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
Bytes op_seek(std::uint8_t whence, std::int16_t offset) {
  const auto v = static_cast<std::uint16_t>(offset);
  return {3, whence, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
Bytes op_extreme(std::uint8_t v) { return {6, v}; }

Bytes reader_seed(std::uint8_t flags, const Bytes& image, const Bytes& ops) {
  Bytes out = {flags, static_cast<std::uint8_t>(image.size()), static_cast<std::uint8_t>(image.size() >> 8)};
  return concat({out, image, ops});
}

void reader_seeds(const std::filesystem::path& dir) {
  auto built = decode::build_index(fuzz::reader_input(), {1, MAX_BLOCK_OUTPUT});
  FUZZ_CHECK(built.has_value());
  const Bytes image = built->to_bytes();
  const Bytes walk = concat({op_read(100), op_seek(2, -50), op_read(100), op_seek_start(0), op_read_with(0xFFFF),
                             op_seek(1, -700), op_read_with(400), op_read(0xFFFF)});
  const Bytes edges = concat({op_extreme(0), op_extreme(4 | 1), op_extreme(2), op_seek_start(0xFFFF),
                              op_seek(0, -1), op_read(1)});
  for (std::uint8_t cache = 0; cache < 4; ++cache) {
    save(dir / ("reader-walk-cache-" + std::to_string(cache)), reader_seed(3 | cache << 2, image, walk));
  }
  save(dir / "reader-edges", reader_seed(3, image, edges));

  // A block record with another CRC: reads that reach it fail.
  index::Index forged = *built;
  forged.blocks[1].expected_crc ^= 1;
  save(dir / "reader-forged-crc", reader_seed(3, forged.to_bytes(), walk));
  // The first stream's first two blocks only, as if the rest did not exist.
  index::Index cut = *built;
  cut.blocks.resize(2);
  cut.streams.resize(1);
  cut.streams[0].block_count = 2;
  cut.streams[0].decoded_bytes = cut.decoded_bytes = cut.blocks[1].decoded_start + cut.blocks[1].decoded_bytes;
  save(dir / "reader-two-blocks", reader_seed(3, cut.to_bytes(), walk));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out / "bz2");
  std::filesystem::create_directories(out / "reader");
  bz2_seeds(out / "bz2");
  reader_seeds(out / "reader");
  return 0;
}
