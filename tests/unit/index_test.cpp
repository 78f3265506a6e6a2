// The index image: exact layout, round trips, and every reason of from_bytes
// reached by a minimal mutation of a sound image.
#include "morvane/index/index.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <limits>

#include "morvane/index/image_format.hpp"
#include "morvane/index/index_reader.hpp"

namespace morvane::index {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Bytes sample_source() {
  Bytes source(1000);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return source;
}

// Three streams over a 1000-byte input: two blocks, none, one.
Index sample_index(const Bytes& source) {
  return Index::create(
      source, 350,
      {{0, 9, 0, 2, 0, 300, 2000, 0xA1B2C3D4}, {261, 1, 2, 0, 300, 0, 2120, 0}, {300, 5, 2, 1, 300, 50, 8000, 0x55}},
      {{32, 1000, 0, 100, 0x01020304, 0}, {1000, 2000, 100, 200, 2, 0}, {2432, 8000, 300, 50, 0x55, 2}});
}

void put_le(Bytes& image, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_le(const Bytes& image, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width; i-- > 0;) value = value << 8 | image[at + i];
  return value;
}

// Replaces the last 32 bytes with the hash of the rest, as a writer would.
Bytes resealed(Bytes image) {
  const auto hash = blake3_hash(std::span(image).first(image.size() - kTrailerBytes));
  std::ranges::copy(hash, image.end() - kTrailerBytes);
  return image;
}

template <class T>
void expect_invalid(const Result<T>& result, std::string_view reason) {
  ASSERT_FALSE(result.has_value()) << "expected \"" << reason << "\"";
  EXPECT_EQ(result.error().tag(), Error::Tag::InvalidIndex);
  EXPECT_EQ(result.error().reason(), reason);
  EXPECT_EQ(result.error().display(), "invalid morvane index: " + std::string(reason));
}

TEST(IndexImage, LayoutIsPackedLittleEndian) {
  const Bytes source = sample_source();
  const Index index = sample_index(source);
  const Bytes image = index.to_bytes();
  ASSERT_EQ(image.size(), 108u + 53 * 3 + 44 * 3);
  EXPECT_EQ(std::memcmp(image.data(), "DOZEZIZ\0", 8), 0);
  EXPECT_TRUE(std::equal(index.source_hash.begin(), index.source_hash.end(), image.begin() + 20));
  // Header fields; the first stream record's level byte at 8 and CRC in its last 4 bytes; in the third block
  // record the CRC at 32 stands before the stream number at 36.
  constexpr std::size_t kBlock = 76 + 53 * 3 + 44 * 2;
  const std::tuple<std::size_t, int, std::uint64_t> fields[] = {
      {8, 4, 1},       {12, 8, 1000},         {52, 8, 350},          {60, 8, 3},         {68, 8, 3},
      {76 + 8, 1, 9},  {76 + 41, 8, 2000},    {76 + 49, 4, 0xA1B2C3D4}, {kBlock, 8, 2432}, {kBlock + 32, 4, 0x55},
      {kBlock + 36, 8, 2}};
  for (auto [at, width, value] : fields) { EXPECT_EQ(get_le(image, at, width), value) << "at " << at; }
  EXPECT_EQ(resealed(image), image);
}

TEST(IndexImage, RoundTrips) {
  const Bytes source = sample_source();
  const Index index = sample_index(source);
  ASSERT_TRUE(index.validate());
  EXPECT_EQ(Index::from_bytes(index.to_bytes(), source), index);

  const Index empty = Index::create({}, 0, {}, {});
  EXPECT_EQ(empty.source_bytes, 0u);
  const Bytes image = empty.to_bytes();
  EXPECT_EQ(image.size(), kEmptyImageBytes);
  EXPECT_EQ(Index::from_bytes(image, {}), empty);
  constexpr std::uint8_t kEmptyHash[32] = {0xaf, 0x13, 0x49, 0xb9, 0xf5, 0xf9, 0xa1, 0xa6, 0xa0, 0x40, 0x4d,
                                           0xea, 0x36, 0xdc, 0xc9, 0x49, 0x9b, 0xcb, 0x25, 0xc9, 0xad, 0xc1,
                                           0x12, 0xb7, 0xcc, 0x9a, 0x93, 0xca, 0xe4, 0x1f, 0x32, 0x62};
  EXPECT_TRUE(std::ranges::equal(blake3_hash({}), kEmptyHash));
}

TEST(IndexImage, ShortImagesAndChecksum) {
  const Bytes source = sample_source();
  expect_invalid(Index::from_bytes(Bytes(31, 0), source), "truncated header");
  expect_invalid(Index::from_bytes({}, source), "truncated header");
  const auto empty_hash = blake3_hash({});
  expect_invalid(Index::from_bytes(empty_hash, source), "truncated payload");

  // Payloads cut inside the magic, the version and the header fields.
  const Bytes image = sample_index(source).to_bytes();
  for (std::size_t kept : {std::size_t{5}, std::size_t{8}, std::size_t{11}, std::size_t{75}}) {
    Bytes cut(image.begin(), image.begin() + kept);
    cut.resize(kept + kTrailerBytes);
    expect_invalid(Index::from_bytes(resealed(cut), source), "truncated payload");
  }

  // The trailer is checked before anything else, so any changed byte fails it.
  for (std::size_t i = 0; i < image.size(); ++i) {
    Bytes changed = image;
    changed[i] ^= 0x10;
    expect_invalid(Index::from_bytes(changed, source), "payload checksum mismatch");
  }
}

TEST(IndexImage, HeaderAndRecordMutations) {
  const Bytes source = sample_source();
  const Bytes image = sample_index(source).to_bytes();
  // Each case writes its fields in order: (offset, value, width).
  using Field = std::tuple<std::size_t, std::uint64_t, int>;
  const std::pair<std::vector<Field>, const char*> cases[] = {
      {{{0, 'd', 1}}, "bad magic"},
      {{{7, 1, 1}}, "bad magic"},
      {{{8, 2, 4}}, "unsupported version"},
      {{{8, 0, 4}}, "unsupported version"},
      {{{12, 999, 8}}, "source identity mismatch"},
      {{{20, 0, 8}}, "source identity mismatch"},
      {{{60, std::uint64_t{1} << 63, 8}}, "record counts overflow"},
      {{{68, kMax / 44 + 1, 8}}, "record counts overflow"},
      {{{60, kMax / 53, 8}, {68, kMax / 44 - 1, 8}}, "record counts overflow"},  // each fits, their sum does not
      {{{60, std::uint64_t{1} << 63, 8}, {12, 7, 8}}, "source identity mismatch"},  // binding before counts
      {{{60, 4, 8}}, "record counts do not match payload length"},
      // A forged count is refused by the size equation before anything is reserved.
      {{{68, std::uint64_t{1} << 40, 8}}, "record counts do not match payload length"},
      // from_bytes ends with validate: a block of no decoded bytes.
      {{{76 + 53 * 3 + 24, 0, 8}}, "block decoded offsets are not contiguous"},
  };
  for (const auto& [changes, reason] : cases) {
    SCOPED_TRACE(reason);
    Bytes changed = image;
    for (auto [at, value, width] : changes) put_le(changed, at, value, width);
    expect_invalid(Index::from_bytes(resealed(changed), source), reason);
  }
  Bytes longer = image, shorter = image;
  longer.insert(longer.end() - kTrailerBytes, 0);
  shorter.erase(shorter.end() - kTrailerBytes - 1);
  for (const Bytes* sized : {&longer, &shorter}) {
    expect_invalid(Index::from_bytes(resealed(*sized), source), "record counts do not match payload length");
  }
}

TEST(IndexImage, SourceIdentity) {
  const Bytes source = sample_source();
  const Bytes image = sample_index(source).to_bytes();
  Bytes other = source;
  other[500] ^= 1;
  expect_invalid(Index::from_bytes(image, other), "source identity mismatch");

  // An input of another length is refused without being read: reading this
  // inaccessible mapping would fault.
  const std::size_t length = 4096;
  void* unreadable = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(unreadable, MAP_FAILED);
  expect_invalid(Index::from_bytes(image, std::span(static_cast<const std::uint8_t*>(unreadable), length)),
                 "source identity mismatch");
  munmap(unreadable, length);
}

// The largest image an input of n bytes can have: every stream takes at least
// 14 bytes and every block at least 173 bits, so an index file longer than
// this is refused before it is read.
TEST(IndexImage, LargestImageOfAnInput) {
  EXPECT_EQ(max_image_bytes(0), kEmptyImageBytes);
  EXPECT_EQ(max_image_bytes(13), kEmptyImageBytes);
  // The compression of nothing: one stream of 14 bytes, without blocks, at the bound.
  EXPECT_EQ(max_image_bytes(14), kEmptyImageBytes + kStreamRecordBytes);
  EXPECT_EQ(max_image_bytes(173), kEmptyImageBytes + 12 * kStreamRecordBytes + 8 * kBlockRecordBytes);
  EXPECT_EQ(max_image_bytes(std::uint64_t{1} << 62), kMax);  // saturates rather than wraps
  EXPECT_EQ(max_image_bytes(kMax), kMax);
  const Bytes source = sample_source();
  EXPECT_LE(sample_index(source).to_bytes().size(), max_image_bytes(source.size()));
}

TEST(IndexReader, ReadsLittleEndianAndKeepsCursorOnFailure) {
  const Bytes payload = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d};
  IndexReader r{.payload = payload};
  EXPECT_EQ(r.byte(), 0x01);
  EXPECT_EQ(r.u32(), 0x05040302u);
  expect_invalid(r.take(9), "truncated payload");
  expect_invalid(r.take(std::numeric_limits<std::size_t>::max()), "offset overflow");
  EXPECT_EQ(r.cursor, 5u);
  EXPECT_EQ(r.u64(), 0x0d0c0b0a09080706u);
  expect_invalid(r.byte(), "truncated payload");
  EXPECT_EQ(r.cursor, payload.size());
}

}  // namespace
}  // namespace morvane::index
