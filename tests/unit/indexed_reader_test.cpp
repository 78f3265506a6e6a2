#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
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

using namespace morvane;
using indexed::IndexedReader;
using Whence = IndexedReader::Whence;

namespace {

constexpr decode::DecodeOptions kOptions{2, 4 * MAX_BLOCK_OUTPUT};
constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Text-like data with long runs and stretches of noise, so that blocks differ
// in length and the run-length stages are exercised.
std::vector<std::uint8_t> sample(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string w;
    for (std::uint64_t n = 2 + rng() % 9; n > 0; --n) w += static_cast<char>('a' + rng() % 26);
    words.push_back(w);
  }
  std::vector<std::uint8_t> out;
  out.reserve(size + 1024);
  while (out.size() < size) {
    const std::uint64_t pick = rng() % 100;
    if (pick < 2) {
      out.insert(out.end(), 1 + rng() % 700, static_cast<std::uint8_t>(rng()));
    } else if (pick < 4) {
      for (std::uint64_t n = rng() % 300; n > 0; --n) out.push_back(static_cast<std::uint8_t>(rng()));
    } else {
      const auto& w = words[rng() % words.size()];
      out.insert(out.end(), w.begin(), w.end());
      out.push_back(pick < 10 ? '\n' : ' ');
    }
  }
  out.resize(size);
  return out;
}

// One input of several streams: bzip2 -1 (many blocks), a stream of an empty
// input (no blocks), pbzip2 (several streams of several blocks) and a small
// bzip2 -9 stream, concatenated. The decoded oracle is bzip2 -dc.
struct Corpus {
  std::vector<std::uint8_t> compressed;
  std::vector<std::uint8_t> decoded;
  index::Index index;
};

const Corpus& corpus() {
  static const Corpus made = [] {
    Corpus c;
    const std::string dir = testing::TempDir() + "/morvane_reader_" + std::to_string(getpid());
    run("mkdir -p " + dir);
    write_file(dir + "/a", sample(2'500'000, 1));
    write_file(dir + "/b", {});
    write_file(dir + "/c", sample(3'000'000, 2));
    write_file(dir + "/d", sample(50'000, 3));
    run("bzip2 -1 -c " + dir + "/a > " + dir + "/all.bz2");
    run("bzip2 -1 -c " + dir + "/b >> " + dir + "/all.bz2");
    run("pbzip2 -1 -b4 -p2 -c " + dir + "/c >> " + dir + "/all.bz2");
    run("bzip2 -9 -c " + dir + "/d >> " + dir + "/all.bz2");
    run("bzip2 -dc " + dir + "/all.bz2 > " + dir + "/all.out");
    c.compressed = read_file(dir + "/all.bz2");
    c.decoded = read_file(dir + "/all.out");
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

std::vector<std::uint8_t> oracle(std::uint64_t offset, std::uint64_t length) {
  const auto& d = corpus().decoded;
  const auto end = std::min<std::uint64_t>(offset + length, d.size());
  return {d.begin() + static_cast<std::ptrdiff_t>(offset), d.begin() + static_cast<std::ptrdiff_t>(end)};
}

// Reads `length` bytes at `offset` in one call.
std::expected<std::vector<std::uint8_t>, IoError> read_at(IndexedReader& r, std::uint64_t offset,
                                                          std::size_t length) {
  EXPECT_EQ(r.seek_start(offset).value(), offset);
  std::vector<std::uint8_t> buf(length);
  auto n = r.read(buf);
  if (!n) return std::unexpected(n.error());
  buf.resize(*n);
  return buf;
}

const index::BlockIndex& block(std::size_t k) { return corpus().index.blocks[k]; }

void expect_library_error(const IoError& io, const Error& want) {
  EXPECT_EQ(io.kind(), IoKind::Other);
  EXPECT_EQ(io.display(), want.display());
  ASSERT_NE(io.payload(), nullptr);
  EXPECT_EQ(*io.payload(), want);
}

}  // namespace

TEST(IndexedReaderData, ReadsMatchTheOracleEverywhere) {
  const Corpus& c = corpus();
  ASSERT_EQ(c.index.decoded_bytes, c.decoded.size());
  ASSERT_GE(c.index.streams.size(), 5u);
  ASSERT_GE(c.index.blocks.size(), 30u);
  ASSERT_TRUE(std::ranges::any_of(c.index.streams, [](const auto& s) { return s.block_count == 0; }));

  IndexedReader r = open(1 << 20);
  std::mt19937_64 rng(7);
  const std::uint64_t size = c.decoded.size();
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t offset = rng() % (size + 1);
    const std::size_t length = rng() % 400'000;  // up to several blocks and streams
    auto got = read_at(r, offset, length);
    ASSERT_TRUE(got) << got.error().display();
    ASSERT_EQ(*got, oracle(offset, length)) << "offset " << offset << " length " << length;
    EXPECT_EQ(r.position(), offset + got->size());
  }

  // The whole input in one call, then nothing more at the end.
  auto whole = read_at(r, 0, size + 100);
  ASSERT_TRUE(whole);
  EXPECT_TRUE(*whole == c.decoded);
  EXPECT_EQ(r.position(), size);
  std::vector<std::uint8_t> buf(10);
  const auto before = r.decoded_blocks();
  EXPECT_EQ(r.read(buf).value(), 0u);
  EXPECT_EQ(r.read(std::span<std::uint8_t>()).value(), 0u);
  EXPECT_EQ(r.decoded_blocks(), before);
}

TEST(IndexedReaderData, SequentialSmallBuffersAndBlockBoundaries) {
  const Corpus& c = corpus();
  IndexedReader r = open(8 << 20);
  const std::size_t sizes[] = {1, 3, 4096, 65'537, 250'000};
  std::vector<std::uint8_t> all;
  for (std::size_t i = 0;; ++i) {
    std::vector<std::uint8_t> buf(sizes[i % std::size(sizes)]);
    auto n = r.read(buf);
    ASSERT_TRUE(n);
    if (*n == 0) break;
    all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*n));
  }
  EXPECT_TRUE(all == c.decoded);

  // The decoded end of block k is served from block k + 1; a reader without a
  // cache decodes exactly that block (block k would make no progress there).
  IndexedReader cold = open(0);
  for (std::size_t k = 1; k < c.index.blocks.size(); ++k) {
    const std::uint64_t at = block(k - 1).decoded_start + block(k - 1).decoded_bytes;
    const auto before = cold.decoded_blocks();
    auto got = read_at(cold, at, 1);
    ASSERT_TRUE(got) << got.error().display();
    EXPECT_EQ(*got, oracle(at, 1));
    EXPECT_EQ(cold.decoded_blocks(), before + 1);
  }
}

TEST(IndexedReaderData, ReadWithDeliversOneCheckedPiecePerBlock) {
  IndexedReader r = open(0);
  const std::uint64_t start = block(2).decoded_start + 10;
  const std::uint64_t end = block(4).decoded_start + 20;
  ASSERT_TRUE(r.seek_start(start));
  std::vector<std::uint64_t> pieces;
  std::vector<std::uint8_t> got;
  auto n = r.read_with(end - start, [&](std::span<const std::uint8_t> piece) {
    pieces.push_back(piece.size());
    got.insert(got.end(), piece.begin(), piece.end());
  });
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, end - start);
  EXPECT_EQ(pieces, (std::vector<std::uint64_t>{block(2).decoded_bytes - 10, block(3).decoded_bytes, 20}));
  EXPECT_EQ(got, oracle(start, end - start));
  EXPECT_EQ(r.position(), end);

  // No limit: stops at the end of the data.
  ASSERT_TRUE(r.seek(Whence::End, -5));
  got.clear();
  EXPECT_EQ(r.read_with(kTop, [&](auto piece) { got.insert(got.end(), piece.begin(), piece.end()); }).value(), 5u);
  EXPECT_EQ(got, oracle(corpus().decoded.size() - 5, 5));

  // A sink that fails (a caller out of memory) leaves the position before its
  // piece and that block uncached; the reader goes on working.
  IndexedReader warm = open(64 << 20);
  ASSERT_TRUE(warm.seek_start(start));
  EXPECT_THROW((void)warm.read_with(kTop, [](auto) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(warm.position(), start);
  EXPECT_EQ(warm.cache().size(), 0u);
  auto after = read_at(warm, start, 100);
  ASSERT_TRUE(after);
  EXPECT_EQ(*after, oracle(start, 100));
}

TEST(IndexedReaderCache, EachBlockDecodedOnceWithEnoughBudget) {
  const std::uint64_t start = block(3).decoded_start + 1;
  const std::uint64_t length = block(6).decoded_start + 10 - start;  // blocks 3 to 6
  IndexedReader warm = open(64 << 20);
  for (int pass = 0; pass < 3; ++pass) {
    auto got = read_at(warm, start, length);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, oracle(start, length));
    EXPECT_EQ(warm.decoded_blocks(), 4u);
  }
  EXPECT_EQ(warm.cache().size(), 4u);

  IndexedReader cold = open(0);
  for (std::uint64_t pass = 1; pass <= 3; ++pass) {
    auto got = read_at(cold, start, length);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, oracle(start, length));
    EXPECT_EQ(cold.decoded_blocks(), 4 * pass);
  }
  EXPECT_EQ(cold.cache().used_bytes(), 0u);
}

TEST(IndexedReaderCache, TwoBlockBudgetEvictsTheLeastRecentlyUsed) {
  const std::uint64_t budget = block(0).decoded_bytes + std::max(block(1).decoded_bytes, block(2).decoded_bytes);
  IndexedReader r = open(budget);
  auto touch = [&](std::size_t k) { ASSERT_TRUE(read_at(r, block(k).decoded_start, 1)); };
  touch(0);
  touch(1);
  touch(0);  // a hit, which makes block 1 the oldest
  EXPECT_EQ(r.decoded_blocks(), 2u);
  touch(2);
  EXPECT_EQ(r.decoded_blocks(), 3u);
  EXPECT_TRUE(r.cache().contains(0));
  EXPECT_FALSE(r.cache().contains(1));
  EXPECT_TRUE(r.cache().contains(2));
  touch(0);
  EXPECT_EQ(r.decoded_blocks(), 3u);
  touch(1);
  EXPECT_EQ(r.decoded_blocks(), 4u);
}

TEST(IndexedReaderSeek, EveryBoundary) {
  IndexedReader r = open(0);
  const std::uint64_t size = corpus().decoded.size();
  const auto outside = [](const std::expected<std::uint64_t, IoError>& s) {
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), IoKind::InvalidInput);
    EXPECT_EQ(s.error().display(), "seek outside decompressed data");
    EXPECT_EQ(s.error().payload(), nullptr);
  };
  EXPECT_EQ(r.seek_start(0).value(), 0u);
  outside(r.seek(Whence::Current, -1));
  EXPECT_EQ(r.position(), 0u);
  EXPECT_EQ(r.seek(Whence::End, 0).value(), size);
  EXPECT_EQ(r.seek(Whence::End, -static_cast<std::int64_t>(size)).value(), 0u);
  outside(r.seek(Whence::End, -static_cast<std::int64_t>(size) - 1));
  outside(r.seek(Whence::End, 1));
  EXPECT_EQ(r.seek_start(size).value(), size);
  outside(r.seek_start(size + 1));
  EXPECT_EQ(r.position(), size);
  EXPECT_EQ(r.seek(Whence::Current, -10).value(), size - 10);
  EXPECT_EQ(r.seek(Whence::Current, 10).value(), size);
  EXPECT_EQ(r.seek(Whence::Start, 7).value(), 7u);
  outside(r.seek(Whence::Start, -1));
  outside(r.seek(Whence::Current, std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(r.position(), 7u);
  EXPECT_EQ(r.decoded_blocks(), 0u);  // a seek only moves the position
}

TEST(IndexedReaderSeek, SumsPastTheTopOfTheWordFail) {
  // The reader takes a given index as it is, so a record may claim the whole
  // 64-bit range; seeks must not wrap around.
  index::Index huge = corpus().index;
  huge.decoded_bytes = kTop;
  IndexedReader r = open(0, huge);
  EXPECT_EQ(r.seek_start(kTop).value(), kTop);
  EXPECT_FALSE(r.seek(Whence::Current, 1));
  EXPECT_FALSE(r.seek(Whence::End, 1));
  EXPECT_EQ(r.seek_start(kTop / 2 + 10).value(), kTop / 2 + 10);
  auto s = r.seek(Whence::Current, std::numeric_limits<std::int64_t>::max());
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().display(), "seek outside decompressed data");
  EXPECT_EQ(r.position(), kTop / 2 + 10);
  EXPECT_EQ(r.seek(Whence::End, std::numeric_limits<std::int64_t>::min()).value(), kTop / 2);
}

TEST(IndexedReaderDamage, MisplacedBlockFailsAloneAndIsNotCached) {
  index::Index bad = corpus().index;
  bad.blocks[1].compressed_start_bit += 1;  // no block magic stands there
  IndexedReader r = open(64 << 20, bad);
  const Error want = Error::decode(bad.blocks[1].compressed_start_bit, DecodeError::InvalidMagic);

  // A read from block 0 into block 1: the error, and the position stops at
  // the start of block 1's part.
  const std::uint64_t start = block(0).decoded_bytes - 100;
  auto spanning = read_at(r, start, 200);
  ASSERT_FALSE(spanning);
  expect_library_error(spanning.error(), want);
  EXPECT_EQ(r.position(), block(1).decoded_start);
  EXPECT_EQ(r.decoded_blocks(), 2u);

  // Block 0 stays cached and block 2 works; block 1 fails again each time.
  auto first = read_at(r, start, 100);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, oracle(start, 100));
  EXPECT_EQ(r.decoded_blocks(), 2u);
  auto later = read_at(r, block(2).decoded_start, 1000);
  ASSERT_TRUE(later);
  EXPECT_EQ(*later, oracle(block(2).decoded_start, 1000));
  auto again = read_at(r, block(1).decoded_start + 5, 1);
  ASSERT_FALSE(again);
  expect_library_error(again.error(), want);
  EXPECT_EQ(r.decoded_blocks(), 4u);
  EXPECT_FALSE(r.cache().contains(1));
}

TEST(IndexedReaderDamage, RecordChecksInOrder) {
  const std::uint64_t start = block(0).compressed_start_bit;
  const std::uint64_t input_bits = corpus().compressed.size() * 8;
  struct Case {
    const char* what;
    void (*damage)(index::Index&);
    Error want;
  };
  const Case cases[] = {
      {"length", [](index::Index& i) { i.blocks[0].decoded_bytes += 1; },
       Error::invalid_index("decoded block length does not match index")},
      {"crc", [](index::Index& i) { i.blocks[0].expected_crc ^= 1; }, Error::decode(start, DecodeError::InvalidBlock)},
      {"end bit", [](index::Index& i) { i.blocks[0].compressed_end_bit += 1; },
       Error::decode(block(0).compressed_end_bit, DecodeError::InvalidBlock)},
      {"level 0", [](index::Index& i) { i.streams[0].block_size_100k = 0; },
       Error::decode(start, DecodeError::InvalidBlock)},
      {"level 10", [](index::Index& i) { i.streams[0].block_size_100k = 10; },
       Error::decode(start, DecodeError::InvalidBlock)},
      {"empty range", [](index::Index& i) { i.blocks[0].compressed_end_bit = i.blocks[0].compressed_start_bit; },
       Error::decode(start, DecodeError::InvalidBlock)},
      {"past the input",
       [](index::Index& i) {
         i.blocks[0].compressed_start_bit = i.source_bytes * 8 + 1;
         i.blocks[0].compressed_end_bit = i.source_bytes * 8 + 100;
       },
       Error::decode(input_bits + 1, DecodeError::Truncated)},
      {"at the end of the input",
       [](index::Index& i) {
         i.blocks[0].compressed_start_bit = i.source_bytes * 8 - 20;
         i.blocks[0].compressed_end_bit = i.source_bytes * 8 + 100;
       },
       Error::decode(input_bits - 20, DecodeError::Truncated)},
      {"stream number", [](index::Index& i) { i.blocks[0].stream = i.streams.size(); },
       Error::invalid_index("block stream number is out of range")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    index::Index bad = corpus().index;
    c.damage(bad);
    IndexedReader r = open(64 << 20, bad);
    auto got = read_at(r, 0, 10);
    ASSERT_FALSE(got);
    expect_library_error(got.error(), c.want);
    EXPECT_EQ(r.position(), 0u);
    EXPECT_EQ(r.cache().size(), 0u);
    // A block of another stream does not depend on the damaged records.
    const std::uint64_t elsewhere = block(corpus().index.streams.back().first_block).decoded_start + 3;
    auto next = read_at(r, elsewhere, 10);
    ASSERT_TRUE(next) << next.error().display();
    EXPECT_EQ(*next, oracle(elsewhere, 10));
  }
}

TEST(IndexedReaderDamage, ForgedHugeLengthFailsBeforeAnyDelivery) {
  // One block claiming 2^62 bytes: the block's length check fails before the
  // sink sees a byte, so a caller growing its buffer never allocates for it.
  index::Index forged = corpus().index;
  forged.blocks.resize(1);
  forged.blocks[0].decoded_bytes = std::uint64_t{1} << 62;
  forged.decoded_bytes = forged.blocks[0].decoded_bytes;
  IndexedReader r = open(kTop, forged);
  bool delivered = false;
  auto n = r.read_with(kTop, [&](auto) { delivered = true; });
  ASSERT_FALSE(n);
  expect_library_error(n.error(), Error::invalid_index("decoded block length does not match index"));
  EXPECT_FALSE(delivered);
  EXPECT_EQ(r.cache().size(), 0u);
}

TEST(IndexedReaderDamage, GapsEndTheRead) {
  const auto gap = [](const std::expected<std::vector<std::uint8_t>, IoError>& got) {
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), IoKind::InvalidData);
    EXPECT_EQ(got.error().display(), "index has a decoded gap");
    EXPECT_EQ(got.error().payload(), nullptr);
  };
  index::Index hole = corpus().index;
  hole.blocks[1].decoded_start += 1;  // one byte belongs to no block
  IndexedReader r = open(0, hole);
  gap(read_at(r, block(1).decoded_start, 1));
  EXPECT_EQ(r.decoded_blocks(), 0u);

  index::Index longer = corpus().index;
  longer.decoded_bytes += 5;  // past the last block
  IndexedReader tail = open(0, longer);
  gap(read_at(tail, corpus().decoded.size() - 2, 4));
  EXPECT_EQ(tail.position(), corpus().decoded.size());
}

TEST(IndexedReaderEmpty, ReadsNothingAndSeeksOnlyToZero) {
  index::Index empty = index::Index::create(corpus().compressed, 0, {}, {});
  IndexedReader r = open(1 << 20, empty);
  std::vector<std::uint8_t> buf(16);
  EXPECT_EQ(r.read(buf).value(), 0u);
  EXPECT_EQ(r.seek_start(0).value(), 0u);
  EXPECT_EQ(r.seek(Whence::End, 0).value(), 0u);
  EXPECT_EQ(r.seek(Whence::Current, 0).value(), 0u);
  EXPECT_FALSE(r.seek_start(1));
  EXPECT_FALSE(r.seek(Whence::End, -1));
  EXPECT_FALSE(r.seek(Whence::Current, 1));
  EXPECT_EQ(r.read(buf).value(), 0u);
  EXPECT_EQ(r.decoded_blocks(), 0u);
}

TEST(IndexedReaderOpen, BuildsTheIndexOrReturnsTheBuildError) {
  // Without an index the reader's index is exactly the engine's, at any
  // thread count.
  auto serial = IndexedReader::from_source(Source::from_vector(corpus().compressed), std::nullopt,
                                           {1, MAX_BLOCK_OUTPUT}, 0);
  ASSERT_TRUE(serial);
  EXPECT_TRUE(serial->index() == corpus().index);
  EXPECT_EQ(serial->position(), 0u);
  EXPECT_EQ(serial->cache().max_bytes(), 0u);

  const std::vector<std::uint8_t> junk = {'n', 'o', 't', ' ', 'b', 'z', 'i', 'p'};
  auto not_bzip2 = IndexedReader::from_source(Source::from_vector(junk), std::nullopt, kOptions, 0);
  ASSERT_FALSE(not_bzip2);
  EXPECT_EQ(not_bzip2.error(), Error::invalid_stream_header());

  const decode::DecodeOptions low{1, MAX_BLOCK_OUTPUT - 1};
  auto refused = IndexedReader::from_source(Source::from_vector(corpus().compressed), std::nullopt, low, 0);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().tag(), Error::Tag::InvalidConfiguration);
  EXPECT_EQ(refused.error(), decode::build_index(corpus().compressed, low).error());

  // A given index is taken unchanged, without looking at the options.
  auto given = IndexedReader::from_source(Source::from_vector(corpus().compressed), corpus().index, low, 0);
  ASSERT_TRUE(given);
  EXPECT_TRUE(given->index() == corpus().index);
}
