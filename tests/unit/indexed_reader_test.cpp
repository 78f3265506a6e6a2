#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using indexed::IndexedReader;
using Whence = IndexedReader::Whence;

namespace {

constexpr decode::DecodeOptions kOptions{2, 4 * MAX_BLOCK_OUTPUT};
constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
using Bytes = std::vector<std::uint8_t>;
const Error kLengthMismatch = Error::invalid_index("decoded block length does not match index");

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Words over a small alphabet with runs and stretches of noise, so blocks
// differ in length and the run-length stages are exercised.
Bytes sample(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const std::uint64_t pick = rng() % 100;
    if (pick < 2) out.insert(out.end(), 1 + rng() % 700, static_cast<std::uint8_t>(rng()));
    for (std::uint64_t n = pick < 4 ? rng() % 300 : 2 + rng() % 9; n > 0; --n)
      out.push_back(static_cast<std::uint8_t>(pick < 4 ? rng() : 'a' + rng() % 6));
    out.push_back(pick < 10 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

// Several streams in one input: bzip2 -1 (many blocks), an empty stream (no
// blocks), pbzip2 (several streams of several blocks) and a small bzip2 -9
// stream. The decoded oracle is bzip2 -dc.
struct Corpus {
  Bytes compressed, decoded;
  index::Index index;
};

const Corpus& corpus() {
  static const Corpus made = [] {
    Corpus c;
    const std::string dir = testing::TempDir() + "/morvane_reader_" + std::to_string(getpid());
    run("mkdir -p " + dir);
    const std::pair<const char*, Bytes> parts[] = {
        {"bzip2 -1", sample(2'500'000, 1)}, {"bzip2 -1", {}}, {"pbzip2 -1 -b4 -p2", sample(3'000'000, 2)},
        {"bzip2 -9", sample(50'000, 3)}};
    for (const auto& [tool, data] : parts) {
      test::write_file(dir + "/in", data);
      run(std::string(tool) + " -c " + dir + "/in >> " + dir + "/all.bz2");
    }
    run("bzip2 -dc " + dir + "/all.bz2 > " + dir + "/all.out");
    c.compressed = test::read_file(dir + "/all.bz2");
    c.decoded = test::read_file(dir + "/all.out");
    auto built = decode::build_index(c.compressed, kOptions);
    EXPECT_TRUE(built) << built.error().display();
    if (built) c.index = std::move(*built);
    run("rm -rf " + dir);
    return c;
  }();
  return made;
}

IndexedReader open(std::size_t cache_limit, std::optional<index::Index> idx = std::nullopt) {
  if (!idx) idx = corpus().index;
  auto reader = IndexedReader::from_source(Source::from_vector(corpus().compressed), std::move(idx), kOptions,
                                           cache_limit);
  EXPECT_TRUE(reader);
  return std::move(*reader);
}

Bytes oracle(std::uint64_t offset, std::uint64_t length) {
  const auto& d = corpus().decoded;
  const auto end = std::min<std::uint64_t>(offset + length, d.size());
  return {d.begin() + static_cast<std::ptrdiff_t>(offset), d.begin() + static_cast<std::ptrdiff_t>(end)};
}

// Reads `length` bytes at `offset` in one call.
std::expected<Bytes, IoError> read_at(IndexedReader& r, std::uint64_t offset, std::size_t length) {
  EXPECT_EQ(r.seek_start(offset).value(), offset);
  Bytes buf(length);
  auto n = r.read(buf);
  if (!n) return std::unexpected(n.error());
  buf.resize(*n);
  return buf;
}

void expect_read(IndexedReader& r, std::uint64_t offset, std::size_t length) {
  auto got = read_at(r, offset, length);
  ASSERT_TRUE(got) << got.error().display();
  EXPECT_EQ(*got, oracle(offset, length)) << "offset " << offset << " length " << length;
}

const index::BlockIndex& block(std::size_t k) { return corpus().index.blocks[k]; }

// A library error reaches the caller whole, inside an IoError of kind Other.
void expect_fails(const auto& got, const Error& want) {
  ASSERT_FALSE(got);
  const IoError& io = got.error();
  EXPECT_EQ(io.kind(), IoKind::Other);
  EXPECT_EQ(io.display(), want.display());
  ASSERT_NE(io.payload(), nullptr);
  EXPECT_EQ(*io.payload(), want);
}

}  // namespace

TEST(IndexedReaderData, ReadsMatchTheOracleEverywhere) {
  const Corpus& c = corpus();
  ASSERT_EQ(c.index.decoded_bytes, c.decoded.size());
  ASSERT_GE(std::min(c.index.streams.size(), c.index.blocks.size() / 6), 5u);
  ASSERT_TRUE(std::ranges::any_of(c.index.streams, [](const auto& s) { return s.block_count == 0; }));

  IndexedReader r = open(1 << 20);
  std::mt19937_64 rng(7);
  const std::uint64_t size = c.decoded.size();
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t offset = rng() % (size + 1);
    const std::size_t length = rng() % 400'000;  // up to several blocks and streams
    expect_read(r, offset, length);
    EXPECT_EQ(r.position(), std::min(offset + length, size));
  }
  expect_read(r, 0, size + 100);
  EXPECT_EQ(r.position(), size);
  const auto before = r.decoded_blocks();
  EXPECT_EQ(read_at(r, size, 10).value(), Bytes{});
  EXPECT_EQ(r.decoded_blocks(), before);

  // The decoded end of block k is served from block k + 1; a reader without a
  // cache decodes exactly that block (block k would make no progress there).
  IndexedReader cold = open(0);
  for (std::size_t k = 1; k < c.index.blocks.size(); ++k) {
    const auto prior = cold.decoded_blocks();
    expect_read(cold, block(k).decoded_start, 1);
    EXPECT_EQ(cold.decoded_blocks(), prior + 1);
  }
}

TEST(IndexedReaderData, ReadWithDeliversOneCheckedPiecePerBlock) {
  IndexedReader r = open(0);
  const std::uint64_t start = block(2).decoded_start + 10;
  const std::uint64_t end = block(4).decoded_start + 20;
  ASSERT_TRUE(r.seek_start(start));
  std::vector<std::uint64_t> pieces;
  Bytes got;
  auto n = r.read_with(end - start, [&](std::span<const std::uint8_t> piece) {
    pieces.push_back(piece.size());
    got.insert(got.end(), piece.begin(), piece.end());
  });
  EXPECT_EQ(n.value(), end - start);
  EXPECT_EQ(pieces, (std::vector<std::uint64_t>{block(2).decoded_bytes - 10, block(3).decoded_bytes, 20}));
  EXPECT_EQ(got, oracle(start, end - start));
  EXPECT_EQ(r.position(), end);

  // A sink that fails (a caller out of memory) leaves the position before its
  // piece and that block uncached; the reader goes on working.
  IndexedReader warm = open(64 << 20);
  ASSERT_TRUE(warm.seek_start(start));
  EXPECT_THROW((void)warm.read_with(kTop, [](auto) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(warm.position(), start);
  EXPECT_EQ(warm.cache().size(), 0u);
  expect_read(warm, start, 100);
}

TEST(IndexedReaderCache, DecodeCountsFollowTheBudget) {
  const std::uint64_t start = block(3).decoded_start + 1;
  const std::uint64_t length = block(6).decoded_start + 10 - start;  // blocks 3 to 6
  IndexedReader warm = open(64 << 20);
  IndexedReader cold = open(0);
  for (std::uint64_t pass = 1; pass <= 3; ++pass) {
    expect_read(warm, start, length);
    EXPECT_EQ(warm.decoded_blocks(), 4u);
    expect_read(cold, start, length);
    EXPECT_EQ(cold.decoded_blocks(), 4 * pass);
  }
  EXPECT_EQ(cold.cache().used_bytes(), 0u);

  // Room for two blocks: touching 0, 1, 0, 2 evicts 1, the least recently used.
  IndexedReader r = open(block(0).decoded_bytes + std::max(block(1).decoded_bytes, block(2).decoded_bytes));
  for (const auto& [k, decoded] : {std::pair{0, 1u}, {1, 2u}, {0, 2u}, {2, 3u}, {0, 3u}, {1, 4u}}) {
    ASSERT_TRUE(read_at(r, block(k).decoded_start, 1));
    EXPECT_EQ(r.decoded_blocks(), decoded) << "block " << k;
  }
}

TEST(IndexedReaderSeek, EveryBoundary) {
  IndexedReader r = open(0);
  const std::uint64_t size = corpus().decoded.size();
  const auto back = -static_cast<std::int64_t>(size);
  const auto outside = [](const std::expected<std::uint64_t, IoError>& s) {
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), IoKind::InvalidInput);
    EXPECT_EQ(s.error().display(), "seek outside decompressed data");
    EXPECT_EQ(s.error().payload(), nullptr);
  };
  outside(r.seek(Whence::Current, -1));
  EXPECT_EQ(r.position(), 0u);
  EXPECT_EQ(r.seek(Whence::End, back).value(), 0u);
  outside(r.seek(Whence::End, back - 1));
  outside(r.seek(Whence::End, 1));
  EXPECT_EQ(r.seek_start(size).value(), size);
  outside(r.seek_start(size + 1));
  EXPECT_EQ(r.seek(Whence::Current, -10).value(), size - 10);
  EXPECT_EQ(r.seek(Whence::Start, 7).value(), 7u);
  outside(r.seek(Whence::Start, -1));
  outside(r.seek(Whence::Current, std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(r.position(), 7u);
  EXPECT_EQ(r.decoded_blocks(), 0u);  // a seek only moves the position

  // A given index is taken as it is, so a record may claim the whole 64-bit
  // range; seeks must not wrap around.
  index::Index huge = corpus().index;
  huge.decoded_bytes = kTop;
  IndexedReader h = open(0, huge);
  EXPECT_EQ(h.seek_start(kTop).value(), kTop);
  outside(h.seek(Whence::Current, 1));
  outside(h.seek(Whence::End, 1));
  EXPECT_EQ(h.seek_start(kTop / 2 + 10).value(), kTop / 2 + 10);
  outside(h.seek(Whence::Current, std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(h.position(), kTop / 2 + 10);
  EXPECT_EQ(h.seek(Whence::End, std::numeric_limits<std::int64_t>::min()).value(), kTop / 2);
}

TEST(IndexedReaderDamage, MisplacedBlockFailsAloneAndIsNotCached) {
  index::Index bad = corpus().index;
  bad.blocks[1].compressed_start_bit += 1;  // no block magic stands there
  IndexedReader r = open(64 << 20, bad);
  const Error want = Error::decode(bad.blocks[1].compressed_start_bit, DecodeError::InvalidMagic);

  // A read from block 0 into block 1 stops where block 1's part starts.
  const std::uint64_t start = block(0).decoded_bytes - 100;
  expect_fails(read_at(r, start, 200), want);
  EXPECT_EQ(r.position(), block(1).decoded_start);
  EXPECT_EQ(r.decoded_blocks(), 2u);

  // Block 0 stays cached and block 2 works; block 1 fails again each time.
  expect_read(r, start, 100);
  EXPECT_EQ(r.decoded_blocks(), 2u);
  expect_read(r, block(2).decoded_start, 1000);
  expect_fails(read_at(r, block(1).decoded_start + 5, 1), want);
  EXPECT_EQ(r.decoded_blocks(), 4u);
  EXPECT_FALSE(r.cache().contains(1));
}

TEST(IndexedReaderDamage, RecordChecksInOrder) {
  const std::uint64_t start = block(0).compressed_start_bit;
  const std::uint64_t bits = corpus().compressed.size() * 8;
  const Error invalid = Error::decode(start, DecodeError::InvalidBlock);
  const struct {
    const char* what;
    void (*damage)(index::Index&);
    Error want;
  } cases[] = {
      {"length", [](auto& i) { i.blocks[0].decoded_bytes += 1; }, kLengthMismatch},
      {"crc", [](auto& i) { i.blocks[0].expected_crc ^= 1; }, invalid},
      {"end bit", [](auto& i) { i.blocks[0].compressed_end_bit += 1; },
       Error::decode(block(0).compressed_end_bit, DecodeError::InvalidBlock)},
      {"level 0", [](auto& i) { i.streams[0].block_size_100k = 0; }, invalid},
      {"level 10", [](auto& i) { i.streams[0].block_size_100k = 10; }, invalid},
      {"empty range", [](auto& i) { i.blocks[0].compressed_end_bit = i.blocks[0].compressed_start_bit; }, invalid},
      {"past the input", [](auto& i) { i.blocks[0].compressed_start_bit = i.source_bytes * 8 + 1,
                                       i.blocks[0].compressed_end_bit = i.source_bytes * 8 + 100; },
       Error::decode(bits + 1, DecodeError::Truncated)},
      {"at the end", [](auto& i) { i.blocks[0].compressed_start_bit = i.source_bytes * 8 - 20,
                                   i.blocks[0].compressed_end_bit = i.source_bytes * 8 + 100; },
       Error::decode(bits - 20, DecodeError::Truncated)},
      {"stream number", [](auto& i) { i.blocks[0].stream = i.streams.size(); },
       Error::invalid_index("block stream number is out of range")},
  };
  // A block of another stream does not depend on the damaged records.
  const std::uint64_t elsewhere = block(corpus().index.streams.back().first_block).decoded_start + 3;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    index::Index bad = corpus().index;
    c.damage(bad);
    IndexedReader r = open(64 << 20, bad);
    expect_fails(read_at(r, 0, 10), c.want);
    EXPECT_EQ(r.position(), 0u);
    EXPECT_EQ(r.cache().size(), 0u);
    expect_read(r, elsewhere, 10);
  }
}

TEST(IndexedReaderDamage, ForgedHugeLengthAndGaps) {
  // One block claiming 2^62 bytes fails its length check before the sink sees
  // a byte, so a caller growing its buffer never allocates for it.
  index::Index forged = corpus().index;
  forged.blocks.resize(1);
  forged.blocks[0].decoded_bytes = forged.decoded_bytes = std::uint64_t{1} << 62;
  IndexedReader r = open(kTop, forged);
  bool delivered = false;
  expect_fails(r.read_with(kTop, [&](auto) { delivered = true; }), kLengthMismatch);
  EXPECT_FALSE(delivered);


  index::Index hole = corpus().index;
  hole.blocks[1].decoded_start += 1;  // one byte belongs to no block
  IndexedReader h = open(0, hole);
  auto got = read_at(h, block(1).decoded_start, 1);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), IoKind::InvalidData);
  EXPECT_EQ(got.error().display(), "index has a decoded gap");
}

TEST(IndexedReaderDamage, ACallersIndexEndingBeforeItsBlocksHoldsReadsToItsSize) {
  // A caller's index is taken as it is: one that says the input decodes to
  // fewer bytes than its blocks hold stops reads at that size, and the
  // position never passes it.
  index::Index short_one = corpus().index;
  short_one.decoded_bytes = block(0).decoded_bytes / 2;
  IndexedReader r = open(kTop, short_one);
  Bytes buf(block(0).decoded_bytes);
  auto got = r.read(buf);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, short_one.decoded_bytes);
  EXPECT_EQ(r.position(), short_one.decoded_bytes);
  EXPECT_EQ(r.read(buf).value(), 0u);
  buf.resize(*got);
  EXPECT_EQ(buf, oracle(0, short_one.decoded_bytes));
}

TEST(IndexedReaderEmpty, ReadsNothingAndSeeksOnlyToZero) {
  IndexedReader r = open(1 << 20, index::Index::create(corpus().compressed, 0, {}, {}));
  Bytes buf(16);
  EXPECT_EQ(r.read(buf).value(), 0u);
  EXPECT_EQ(r.seek(Whence::End, 0).value(), 0u);
  EXPECT_FALSE(r.seek_start(1));
  EXPECT_FALSE(r.seek(Whence::End, -1));
  EXPECT_FALSE(r.seek(Whence::Current, 1));
  EXPECT_EQ(r.decoded_blocks(), 0u);
}

TEST(IndexedReaderOpen, BuildsTheIndexOrTakesTheGivenOne) {
  // Built, the index is exactly the engine's; given, it is taken without looking at the (too low) options.
  const decode::DecodeOptions low{1, MAX_BLOCK_OUTPUT - 1};
  for (auto idx : {std::optional<index::Index>{}, std::optional{corpus().index}}) {
    auto reader = IndexedReader::from_source(Source::from_vector(corpus().compressed), idx,
                                             idx ? low : decode::DecodeOptions{1, MAX_BLOCK_OUTPUT}, 0);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->index() == corpus().index);
  }
  auto refused = IndexedReader::from_source(Source::from_vector(corpus().compressed), std::nullopt, low, 0);
  EXPECT_EQ(refused.error().tag(), Error::Tag::InvalidConfiguration);
}

// Another process truncates the mapped input under an open reader: the blocks
// it decodes afterwards fail with the I/O error (never cached, never
// delivered), while blocks cached before keep being served.
TEST(IndexedReaderDamage, InputTruncatedUnderTheReader) {
  test::TempFile file("truncated");
  test::write_file(file.path(), corpus().compressed);
  auto source = Source::open(file.path());
  ASSERT_TRUE(source);
  auto made = IndexedReader::from_source(std::move(*source), corpus().index, kOptions, kTop);
  ASSERT_TRUE(made);
  IndexedReader& r = *made;
  expect_read(r, 0, 1000);
  ASSERT_EQ(truncate(file.path().c_str(), 100), 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto got = read_at(r, block(3).decoded_start, 10);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().display(), "input file was truncated or became unreadable during the decode");
    EXPECT_EQ(got.error().payload(), nullptr);
    EXPECT_EQ(r.position(), block(3).decoded_start);
  }
  EXPECT_EQ(r.cache().used_bytes(), block(0).decoded_bytes);
  expect_read(r, 10, 1000);
}
