// Round trips through the reference compressors at every level, over the
// inputs that reach each stage's edges: nothing, one byte, every run length,
// every byte value, random and text data, blocks and streams in numbers.
#include <gtest/gtest.h>

#include <algorithm>

#include "morvane/decoder/serial.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Decodes and compares, naming where the bytes first differ (never the whole contents).
testing::AssertionResult decodes_to(std::span<const std::uint8_t> compressed, const Bytes& want) {
  Bytes got;
  VectorWriter writer{got};
  if (auto result = decoder::decode_serial(compressed, writer); !result)
    return testing::AssertionFailure() << result.error().display();
  if (got == want) return testing::AssertionSuccess();
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                     << "; first difference at " << (diff.first - got.begin());
}

// Runs of every length from 4 to 259 (every repeat count), each ended by
// another byte, and one long run.
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
  for (int i = 0; i < 3 * 256; ++i) out.push_back(static_cast<std::uint8_t>(i));
  return out;
}

}  // namespace

TEST(Roundtrip, EveryLevelAndKindOfInput) {
  const std::vector<std::pair<const char*, Bytes>> inputs{
      {"empty", {}},
      {"one byte", {0x42}},
      {"runs", runs()},
      {"all byte values", all_byte_values()},
      {"random", random_bytes(300000, 1)},
      {"text", text_bytes(2500000, 1)},
      {"big random", random_bytes(3000000, 2)},
      {"big text", text_bytes(6000000, 2)},
  };
  for (const auto& [name, data] : inputs) {
    for (int level = 1; level <= 9; ++level) {
      if (data.size() > 1000000 && level % 4 != 1) continue;  // big inputs at levels 1, 5, 9
      if (data.size() > 2500000 && level != 9) continue;
      ASSERT_TRUE(decodes_to(bzip2_compress(data, level), data)) << name << " level " << level;
    }
    if (data.size() <= 300000) {
      ASSERT_TRUE(decodes_to(python_bz2_compress(data, 6), data)) << name << " python";
    }
  }
}

TEST(Roundtrip, ManyStreamsAndMixedLevels) {
  const Bytes data = text_bytes(1500000, 3);
  // pbzip2 writes one stream per 100 kB block.
  ASSERT_TRUE(decodes_to(pbzip2_compress(data, 9, 1), data));

  Bytes mixed, expected;
  for (int level : {1, 9, 3, 1}) {
    const Bytes part(data.begin() + level * 1000, data.begin() + level * 1000 + 250000);
    mixed = concat({mixed, bzip2_compress(part, level)});
    expected = concat({expected, part});
  }
  const Bytes x{'x'};
  mixed = concat({mixed, bzip2_compress({}, 5), python_bz2_compress(x, 2)});  // a stream without blocks in between
  expected.push_back('x');
  EXPECT_TRUE(decodes_to(mixed, expected));
}
