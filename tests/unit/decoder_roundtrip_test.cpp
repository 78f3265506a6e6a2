// Round trips through the distribution's compressors, and the serial
// decoder's contract: stream chain errors, trailing data, the order of
// writes, flushes and progress calls; plus the candidate decode's edges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "morvane/decoder/block.hpp"
#include "morvane/decoder/serial.hpp"

using namespace morvane;
using namespace morvane::decoder;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs `command` with `input` on standard input and returns its standard
// output, through two files in a fresh temporary folder.
Bytes filter(const std::string& command, const Bytes& input) {
  static const struct Folder {
    std::string path = ::testing::TempDir() + "morvane-decoder-XXXXXX";
    Folder() {
      if (mkdtemp(path.data()) == nullptr) path = ::testing::TempDir();
    }
    ~Folder() { rmdir(path.c_str()); }
  } dir;
  static int counter = 0;
  const std::string in = dir.path + "/in" + std::to_string(counter);
  const std::string out = dir.path + "/out" + std::to_string(counter++);
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(input.data()),
                                            static_cast<std::streamsize>(input.size()));
  const int status = std::system(("(" + command + ") < '" + in + "' > '" + out + "'").c_str());
  if (status != 0) ADD_FAILURE() << command << " failed with " << status;
  std::ifstream result(out, std::ios::binary);
  Bytes bytes(std::istreambuf_iterator<char>(result), {});
  std::remove(in.c_str());
  std::remove(out.c_str());
  return bytes;
}

Bytes bzip2(const Bytes& data, int level) { return filter("bzip2 -c -" + std::to_string(level), data); }

Result<Bytes> decode(const Bytes& compressed) {
  Bytes out;
  VectorWriter writer{out};
  auto result = decode_serial(compressed, writer);
  if (!result) return fail(std::move(result.error()));
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(std::size_t size) {
  // Real text: the system's C headers.
  static const Bytes headers = filter("cat /usr/include/*.h /usr/include/*/*.h 2>/dev/null; true", {});
  Bytes out = headers;
  const std::size_t have = out.size();
  while (out.size() < size && have > 0) out.insert(out.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(have));
  out.resize(size);
  return out;
}

Bytes random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// Runs of one byte of every length from 4 to 259 (every repeat count), each
// ended by a different byte, and one long run.
Bytes runs() {
  Bytes out;
  for (unsigned count = 0; count < 256; ++count) {
    out.insert(out.end(), 4 + count, static_cast<std::uint8_t>('a' + count % 3));
    out.push_back('z');
  }
  out.insert(out.end(), 1000000, std::uint8_t{0});
  return out;
}

Bytes all_byte_values() {
  Bytes out;
  for (int rep = 0; rep < 3; ++rep) {
    for (int b = 0; b < 256; ++b) out.push_back(static_cast<std::uint8_t>(b));
  }
  return out;
}

// Equal byte vectors, or where they first differ (never the whole contents).
::testing::AssertionResult same_bytes(const Bytes& got, const Bytes& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << "; first difference at " << (diff.first - got.begin());
}

void expect_decode_error(const Result<Bytes>& result, std::uint64_t bit, DecodeError kind) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), Error::decode(bit, kind)) << result.error().display();
}

// The bit offsets of the blocks of the stream that starts at byte `start`,
// and the end-of-stream magic's, found by chaining candidate decodes.
std::vector<std::uint64_t> block_chain(const Bytes& data, std::uint64_t start = 0) {
  std::vector<std::uint64_t> bits{start * 8 + 32};
  for (;;) {
    Bits probe(data, bits.back());
    if (probe.magic().value() == kEndMagic) return bits;
    const std::uint32_t crc = probe.read(32).value();
    auto block = decode_candidate(data, bits.back(), crc);
    if (!block) {
      ADD_FAILURE() << block.error().display();
      return bits;
    }
    bits.push_back(block->end_bit);
  }
}

// Records every call a decode makes, in order.
struct Recorder {
  std::vector<std::string> calls;
  int fail_write = -1;  // the write (counted from 0) that fails
  bool fail_flush = false;
  int writes = 0;

  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) {
    if (writes++ == fail_write) return std::unexpected(IoError::custom(IoKind::Other, "sink full"));
    calls.push_back("write " + std::to_string(data.size()));
    return {};
  }
  std::expected<void, IoError> flush() {
    if (fail_flush) return std::unexpected(IoError::custom(IoKind::Other, "flush refused"));
    calls.push_back("flush");
    return {};
  }
  auto progress() {
    return [this](std::uint64_t consumed, std::uint64_t decoded) {
      calls.push_back("progress " + std::to_string(consumed) + " " + std::to_string(decoded));
    };
  }
};

}  // namespace

TEST(Roundtrip, EveryLevelAndKindOfInput) {
  const std::vector<std::pair<const char*, Bytes>> inputs{
      {"empty", {}},
      {"one byte", {0x42}},
      {"runs", runs()},
      {"all byte values", all_byte_values()},
      {"random", random_bytes(300000, 1)},
      {"text", text(2500000)},
      {"big random", random_bytes(3000000, 2)},
      {"big text", text(6000000)},
  };
  for (const auto& [name, data] : inputs) {
    for (int level = 1; level <= 9; ++level) {
      if (data.size() > 1000000 && level % 4 != 1) continue;  // big inputs at levels 1, 5, 9
      if (data.size() > 2500000 && level != 9) continue;
      auto decoded = decode(bzip2(data, level));
      ASSERT_TRUE(decoded.has_value()) << name << " level " << level << ": " << decoded.error().display();
      ASSERT_TRUE(same_bytes(*decoded, data)) << name << " level " << level;
    }
  }
}

TEST(Roundtrip, ManyStreamsAndMixedLevels) {
  const Bytes data = text(1500000);
  // pbzip2 writes one stream per 100 kB block.
  const Bytes parallel = filter("pbzip2 -c -9 -b1 -p2", data);
  auto decoded = decode(parallel);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_TRUE(same_bytes(*decoded, data));

  Bytes mixed;
  Bytes expected;
  for (int level : {1, 9, 3, 1}) {
    const Bytes part(data.begin() + level * 1000, data.begin() + level * 1000 + 250000);
    mixed = concat(mixed, bzip2(part, level));
    expected = concat(expected, part);
  }
  mixed = concat(mixed, bzip2({}, 5));  // a stream without blocks in between
  mixed = concat(mixed, bzip2({'x'}, 2));
  expected.push_back('x');
  decoded = decode(mixed);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_TRUE(same_bytes(*decoded, expected));
}

TEST(Serial, EmptyInputFlushesAndReportsOnce) {
  Recorder recorder;
  ASSERT_TRUE(decode_serial_with_progress({}, recorder, recorder.progress()).has_value());
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"flush", "progress 0 0"}));
}

TEST(Serial, CallOrderAndProgressPositions) {
  const Bytes data = text(700000);
  const Bytes first = bzip2(data, 1);
  const Bytes second = bzip2(Bytes(data.begin(), data.begin() + 1000), 9);
  const Bytes both = concat(first, second);
  Recorder recorder;
  ASSERT_TRUE(decode_serial_with_progress(both, recorder, recorder.progress()).has_value());

  std::vector<std::string> expected;
  std::uint64_t total = 0;
  for (const auto& [stream, start] : {std::pair{&first, std::uint64_t{0}}, {&second, first.size()}}) {
    const auto chain = block_chain(both, start);
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
      Bits probe(both, chain[i] + 48);
      auto block = Decoder().block(probe, 9, std::nullopt).value();
      total += block.data.size();
      expected.push_back("write " + std::to_string(block.data.size()));
      // A block that ends inside a byte has consumed that byte.
      expected.push_back("progress " + std::to_string((chain[i + 1] + 7) / 8) + " " + std::to_string(total));
    }
  }
  expected.push_back("flush");
  expected.push_back("progress " + std::to_string(both.size()) + " " + std::to_string(data.size() + 1000));
  EXPECT_EQ(total, data.size() + 1000);
  EXPECT_GT(expected.size(), 10u);
  EXPECT_EQ(recorder.calls, expected);
}

TEST(Serial, WriterFailuresEndTheDecode) {
  const Bytes compressed = bzip2(text(400000), 1);
  Recorder failing_write;
  failing_write.fail_write = 1;
  auto result = decode_serial_with_progress(compressed, failing_write, failing_write.progress());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "sink full");
  EXPECT_EQ(result.error().tag(), Error::Tag::Io);
  ASSERT_EQ(failing_write.calls.size(), 2u);  // the first block and its progress, nothing after
  EXPECT_EQ(failing_write.calls[1].rfind("progress", 0), 0u);

  Recorder failing_flush;
  failing_flush.fail_flush = true;
  result = decode_serial_with_progress(compressed, failing_flush, failing_flush.progress());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "flush refused");
  EXPECT_NE(failing_flush.calls.back(), "flush");
  EXPECT_EQ(failing_flush.calls.back().rfind("progress", 0), 0u);  // no final progress
}

TEST(Serial, StreamHeaderAndTrailingData) {
  const Bytes stream = bzip2({'h', 'i'}, 9);
  const std::uint64_t end = stream.size() * 8;
  expect_decode_error(decode({'B', 'Z', 'h', '0', 0, 0}), 24, DecodeError::InvalidLevel);
  expect_decode_error(decode({'B', 'Z', 'x', '9', 0, 0}), 0, DecodeError::InvalidMagic);
  expect_decode_error(decode({'B', 'Z', 'h'}), 0, DecodeError::Truncated);
  expect_decode_error(decode({'B', 'Z', 'h', '9'}), 32, DecodeError::Truncated);
  for (std::size_t extra = 1; extra <= 3; ++extra) {
    expect_decode_error(decode(concat(stream, Bytes(extra, 'B'))), end, DecodeError::Truncated);
  }
  expect_decode_error(decode(concat(stream, Bytes(4, 0))), end, DecodeError::InvalidMagic);  // zero padding
  expect_decode_error(decode(concat(stream, {'B', 'Z', 'x', '9', 1, 2})), end, DecodeError::InvalidMagic);
  expect_decode_error(decode(concat(stream, {'B', 'Z', 'h', 'A'})), end + 24, DecodeError::InvalidLevel);
  // A second stream whose first byte is wrong.
  expect_decode_error(decode(concat(stream, concat({'X'}, Bytes(stream.begin() + 1, stream.end())))), end,
                      DecodeError::InvalidMagic);
}

TEST(Serial, StreamWithoutBlocksAndEndRecord) {
  // "BZh9", the end-of-stream magic and a stored CRC: 112 bits, no padding.
  const Bytes empty{'B', 'Z', 'h', '9', 0x17, 0x72, 0x45, 0x38, 0x50, 0x90, 0, 0, 0, 0};
  EXPECT_EQ(bzip2({}, 9), empty);
  ASSERT_TRUE(decode(empty).has_value());
  EXPECT_TRUE(decode(empty)->empty());
  Bytes bad_crc = empty;
  bad_crc[13] = 1;
  expect_decode_error(decode(bad_crc), 32, DecodeError::CrcMismatch);
  expect_decode_error(decode(Bytes(empty.begin(), empty.end() - 1)), 80, DecodeError::Truncated);
  // A record that is neither magic.
  Bytes not_magic = empty;
  not_magic[4] = 0x18;
  expect_decode_error(decode(not_magic), 32, DecodeError::InvalidMagic);

  // A stream with a block, cut inside its stream CRC; and its padding set to ones.
  int padded = 0;
  for (std::size_t size : {10, 11, 12, 13, 14, 15, 16, 17}) {
    const Bytes data = text(size);
    const Bytes stream = bzip2(data, 9);
    const std::uint64_t eos = block_chain(stream).back();
    expect_decode_error(decode(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>((eos + 48) / 8 + 3))),
                        eos + 48, DecodeError::Truncated);
    Bytes wrong_crc = stream;
    wrong_crc[(eos + 48) / 8 + 1] ^= 0x10;
    expect_decode_error(decode(wrong_crc), eos, DecodeError::CrcMismatch);
    const unsigned padding = static_cast<unsigned>((8 - (eos + 80) % 8) % 8);
    if (padding != 0) {
      ++padded;
      Bytes ones = stream;
      ones.back() |= static_cast<std::uint8_t>((1u << padding) - 1);
      auto decoded = decode(ones);
      ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
      EXPECT_TRUE(same_bytes(*decoded, data));
    }
  }
  EXPECT_GT(padded, 0);
}

TEST(Serial, BlockOfTheWrongLevel) {
  // A level-9 block of about 300000 symbols in a stream that claims level 1.
  Bytes stream = bzip2(random_bytes(300000, 5), 9);
  stream[3] = '1';
  auto result = decode(stream);
  ASSERT_FALSE(result.has_value());
  const auto* error = result.error().get_if<Error::Decode>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->source, DecodeError::InvalidBlock);  // the 100001st symbol is a literal
  EXPECT_GT(error->bit_offset, 80u);
}

TEST(Block, ExpectedCrcAndCandidateEdges) {
  const Bytes data = text(300000);
  const Bytes stream = bzip2(data, 1);  // three blocks of level 1
  const auto chain = block_chain(stream);
  ASSERT_EQ(chain.size(), 4u);
  Bits probe(stream, chain[1] + 48);
  const std::uint32_t stored = probe.read(32).value();

  Decoder decoder;  // one decoder, reused after failures
  Bits wrong(stream, chain[1] + 48);
  EXPECT_EQ(decoder.block(wrong, 1, stored ^ 1).error(), Error::decode(chain[1], DecodeError::InvalidBlock));
  for (const std::uint8_t level : {0, 10}) {  // never trusted outside 1..9
    Bits bad_level(stream, chain[1] + 48);
    EXPECT_EQ(decoder.block(bad_level, level, stored).error(), Error::decode(chain[1], DecodeError::InvalidLevel));
  }
  Bits right(stream, chain[1] + 48);
  auto block = decoder.block(right, 1, stored);
  ASSERT_TRUE(block.has_value()) << block.error().display();
  EXPECT_EQ(block->crc, stored);
  EXPECT_LE(block->symbols, 100000u);
  EXPECT_EQ(right.pos(), chain[2]);

  // The level-9 limits apply to candidates; their symbol count tells the real level's.
  auto candidate = decode_candidate(stream, chain[1], stored);
  ASSERT_TRUE(candidate.has_value());
  EXPECT_TRUE(same_bytes(candidate->data, block->data));
  EXPECT_EQ(candidate->end_bit, chain[2]);
  EXPECT_EQ(candidate->symbols, block->symbols);
  EXPECT_EQ(decode_candidate(stream, chain[1], stored + 1).error(), Error::decode(chain[1], DecodeError::InvalidBlock));

  const std::uint64_t end = stream.size() * 8;
  EXPECT_EQ(decode_candidate(stream, chain[3], 0).error(), Error::decode(chain[3], DecodeError::InvalidMagic));
  EXPECT_EQ(decode_candidate(stream, chain[1] + 1, 0).error(), Error::decode(chain[1] + 1, DecodeError::InvalidMagic));
  EXPECT_EQ(decode_candidate(stream, end, 0).error(), Error::decode(end, DecodeError::Truncated));
  EXPECT_EQ(decode_candidate(stream, end + 9, 0).error(), Error::decode(end + 9, DecodeError::Truncated));
  EXPECT_EQ(decode_candidate(stream, end - 30, 0).error(), Error::decode(end - 6, DecodeError::Truncated));
  // A block cut short: the fields run out somewhere inside it.
  const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(chain[1] / 8 + 200));
  auto truncated = decode_candidate(cut, chain[1], stored);
  ASSERT_FALSE(truncated.has_value());
  ASSERT_NE(truncated.error().get_if<Error::Decode>(), nullptr);
  EXPECT_EQ(truncated.error().get_if<Error::Decode>()->source, DecodeError::Truncated);
}
