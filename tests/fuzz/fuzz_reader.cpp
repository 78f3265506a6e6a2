// The random-access reader over a small valid input (three streams, five
// blocks), with an index image and a sequence of reads and seeks from the
// fuzzer, checked against a model.
//
// Input: a flags byte (1: write the right trailer, 2: write the input's length
// and hash, bits 2-3: the cache budget), the image length (2 bytes, little
// endian), the image, then the operations. An image that Index::from_bytes
// refuses ends the run (the image target checks refusals).
//
// The model: a block record whose bit range, CRC and length are those of a real
// block of the input reads as that block's bytes, wherever the record places
// them; any other record fails every read that reaches it (the scan of the
// input finds no block magic but the real ones, so nothing else can decode).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

using namespace morvane;
using Whence = indexed::IndexedReader::Whence;

namespace {

// Positions plus any 64-bit offset, without wrapping around.
__extension__ typedef __int128 Wide;

constexpr std::size_t kMaxOperations = 256;
constexpr std::size_t kCacheBudgets[] = {0, 300, 1500, std::size_t{1} << 20};

struct Truth {
  std::vector<std::uint8_t> input;
  index::Index index;
  std::vector<std::vector<std::uint8_t>> blocks;  // the decoded bytes of each real block
};

const Truth& truth() {
  static const Truth t = [] {
    Truth t{.input = fuzz::reader_input()};
    auto built = decode::build_index(t.input, {1, MAX_BLOCK_OUTPUT});
    FUZZ_CHECK(built.has_value());
    t.index = std::move(*built);
    std::vector<std::uint8_t> all;
    VectorWriter writer{all};
    FUZZ_CHECK(decode::decompress_to_writer(t.input, writer, {1, MAX_BLOCK_OUTPUT}).has_value());
    const auto candidates = format::scan_range(t.input, 0, t.input.size()).blocks;
    FUZZ_CHECK(candidates.size() == t.index.blocks.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const auto& b = t.index.blocks[i];
      FUZZ_CHECK(candidates[i].bit_offset == b.compressed_start_bit);
      const auto from = all.begin() + static_cast<std::ptrdiff_t>(b.decoded_start);
      t.blocks.emplace_back(from, from + static_cast<std::ptrdiff_t>(b.decoded_bytes));
    }
    return t;
  }();
  return t;
}

class Model {
 public:
  explicit Model(const index::Index& index) : index_(index) {
    const Truth& t = truth();
    for (const auto& record : index.blocks) {
      const std::vector<std::uint8_t>* data = nullptr;
      for (std::size_t j = 0; j < t.index.blocks.size(); ++j) {
        const auto& real = t.index.blocks[j];
        if (record.compressed_start_bit == real.compressed_start_bit &&
            record.compressed_end_bit == real.compressed_end_bit && record.expected_crc == real.expected_crc &&
            record.decoded_bytes == real.decoded_bytes) {
          data = &t.blocks[j];
        }
      }
      blocks_.push_back(data);
    }
  }

  struct Read {
    std::vector<std::uint8_t> bytes;  // what reaches the caller before any failure
    bool failed = false;
    std::uint64_t position = 0;  // afterwards
  };

  // A read of up to `n` bytes at the position (which it moves).
  Read read(std::uint64_t n) {
    Read r{.position = position_};
    while (r.bytes.size() < n && r.position < index_.decoded_bytes) {
      std::size_t k = 0;
      while (index_.blocks[k].decoded_start + index_.blocks[k].decoded_bytes <= r.position) ++k;
      if (!blocks_[k]) {
        r.failed = true;
        break;
      }
      const auto& data = *blocks_[k];
      const std::uint64_t offset = r.position - index_.blocks[k].decoded_start;
      const std::uint64_t take = std::min<std::uint64_t>(data.size() - offset, n - r.bytes.size());
      r.bytes.insert(r.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                     data.begin() + static_cast<std::ptrdiff_t>(offset + take));
      r.position += take;
    }
    position_ = r.position;
    return r;
  }

  // The new position, or nothing when the target lies outside the data.
  std::optional<std::uint64_t> seek(Wide base, std::int64_t offset) {
    const Wide target = base + offset;
    if (target < 0 || target > static_cast<Wide>(index_.decoded_bytes)) return std::nullopt;
    position_ = static_cast<std::uint64_t>(target);
    return position_;
  }

  std::uint64_t position() const { return position_; }
  std::uint64_t size() const { return index_.decoded_bytes; }

 private:
  const index::Index& index_;
  std::vector<const std::vector<std::uint8_t>*> blocks_;  // null: the record cannot decode
  std::uint64_t position_ = 0;
};

class Operations {
 public:
  explicit Operations(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool done() const { return at_ >= bytes_.size(); }
  std::uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

void check_read_error(const IoError& error) {
  // Every record of a validated index is reachable: only decode failures remain.
  FUZZ_CHECK(error.kind() == IoKind::Other && error.payload() != nullptr);
}

void check_seek(const std::expected<std::uint64_t, IoError>& got, std::optional<std::uint64_t> want,
                const indexed::IndexedReader& reader, const Model& model) {
  if (want) {
    FUZZ_CHECK(got.has_value() && *got == *want);
  } else {
    FUZZ_CHECK(!got && got.error().kind() == IoKind::InvalidInput);
  }
  FUZZ_CHECK(reader.position() == model.position());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const Truth& t = truth();
  const std::uint8_t flags = data[0];
  const std::size_t image_len = std::min<std::size_t>(data[1] | data[2] << 8, size - 3);
  std::vector<std::uint8_t> image(data + 3, data + 3 + image_len);
  if ((flags & 2) && image.size() >= 52) {
    const std::uint64_t length = t.input.size();
    for (std::size_t i = 0; i < 8; ++i) image[12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy(t.index.source_hash.begin(), t.index.source_hash.end(), image.begin() + 20);
  }
  if ((flags & 1) && image.size() >= 32) {
    const auto trailer = fuzz::blake3_of(std::span(image).first(image.size() - 32));
    std::copy(trailer.begin(), trailer.end(), image.end() - 32);
  }
  auto index = index::Index::from_bytes(image, t.input);
  if (!index) return 0;

  Model model(*index);
  auto reader = indexed::IndexedReader::from_source(Source::from_vector(t.input), *index, {1, MAX_BLOCK_OUTPUT},
                                                    kCacheBudgets[(flags >> 2) & 3]);
  FUZZ_CHECK(reader.has_value());
  Operations ops(std::span(data, size).subspan(3 + image_len));
  for (std::size_t step = 0; step < kMaxOperations && !ops.done(); ++step) {
    switch (ops.byte() % 7) {
      case 0: {  // read into a buffer
        std::vector<std::uint8_t> buffer(ops.u16());
        const auto want = model.read(buffer.size());
        auto got = reader->read(buffer);
        if (want.failed) {
          FUZZ_CHECK(!got);
          check_read_error(got.error());
        } else {
          FUZZ_CHECK(got.has_value() && *got == want.bytes.size());
          FUZZ_CHECK(std::equal(want.bytes.begin(), want.bytes.end(), buffer.begin()));
        }
        break;
      }
      case 1: {  // read piece by piece
        const std::uint64_t max = ops.u16();
        const auto want = model.read(max);
        std::vector<std::uint8_t> pieces;
        auto got = reader->read_with(max, [&](std::span<const std::uint8_t> piece) {
          FUZZ_CHECK(!piece.empty());
          pieces.insert(pieces.end(), piece.begin(), piece.end());
        });
        FUZZ_CHECK(pieces == want.bytes);
        if (want.failed) {
          FUZZ_CHECK(!got);
          check_read_error(got.error());
        } else {
          FUZZ_CHECK(got.has_value() && *got == want.bytes.size());
        }
        break;
      }
      case 2: {  // seek_start, now and then far past the end
        const std::uint16_t v = ops.u16();
        const std::uint64_t offset = v >= 0xFF00 ? UINT64_MAX - (v & 0xFF) : v;
        const auto want = offset <= model.size() ? model.seek(offset, 0) : std::nullopt;
        check_seek(reader->seek_start(offset), want, *reader, model);
        break;
      }
      case 3:
      case 4:
      case 5: {  // seek from the start, the position or the end
        const Whence whence = static_cast<Whence>(ops.byte() % 3);
        const auto offset = static_cast<std::int16_t>(ops.u16());
        const Wide base =
            whence == Whence::Start ? 0 : whence == Whence::Current ? model.position() : model.size();
        check_seek(reader->seek(whence, offset), model.seek(base, offset), *reader, model);
        break;
      }
      case 6: {  // the extreme offsets
        const std::uint8_t v = ops.byte();
        const Whence whence = static_cast<Whence>(v % 3);
        const std::int64_t offset = v & 4 ? INT64_MAX - (v >> 3) : INT64_MIN + (v >> 3);
        const Wide base =
            whence == Whence::Start ? 0 : whence == Whence::Current ? model.position() : model.size();
        check_seek(reader->seek(whence, offset), model.seek(base, offset), *reader, model);
        break;
      }
    }
    FUZZ_CHECK(reader->position() == model.position());
  }
  return 0;
}
