// The random-access reader over a small valid input (three streams, five
// blocks), with an index and a sequence of reads and seeks from the fuzzer.
//
// Input: a flags byte, then the index's bytes, then the operations.
// - flags bit 4 clear: the index comes from an image (2 bytes of length, little
//   endian, then the image) through Index::from_bytes; flag 1 writes the right
//   trailer and flag 2 the input's length and hash first. An image that
//   from_bytes refuses ends the run (the image target checks refusals).
// - flags bit 4 set: the input's true index with up to seven edits
//   (index_edits.hpp), handed to the reader unvalidated, as a caller may.
// - flags bits 2-3: the cache budget.
//
// The model: a block record whose bit range, CRC and length are those of a
// real block of the input, whose stream number is in range and whose
// stream's level is 1 to 9, reads as that block's bytes, wherever the record
// places them; any other record fails every read that reaches it (the scan of
// the input finds no block magic but the real ones, so nothing else decodes).
// Where the records' decoded ends do not go back, the position has one block
// and the model follows the reader exactly: bytes, errors, positions, and a
// least-recently-used cache whose contents and decode count must match the
// reader's (a hit never decodes again). Elsewhere (a caller's index whose
// records overlap out of order) it checks that every piece read is the
// decoded bytes of a record that covers the position and that failures are
// clean. Always: the cache stays within its budget.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "index_edits.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

using namespace morvane;
using morvane::fuzz::Recipe;
using Whence = indexed::IndexedReader::Whence;

namespace {

// Positions plus any 64-bit offset, without wrapping around.
__extension__ typedef __int128 Wide;

constexpr std::size_t kMaxOperations = 256;
constexpr std::size_t kMaxEdits = 7;
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

// The bytes a record decodes to, or null when it cannot decode.
const std::vector<std::uint8_t>* decoded_data(const index::Index& index, const index::BlockIndex& record) {
  const Truth& t = truth();
  if (record.stream >= index.streams.size()) return nullptr;
  const auto level = index.streams[record.stream].block_size_100k;
  if (level < kMinLevel || level > kMaxLevel) return nullptr;
  for (std::size_t j = 0; j < t.index.blocks.size(); ++j) {
    const auto& real = t.index.blocks[j];
    if (record.compressed_start_bit == real.compressed_start_bit &&
        record.compressed_end_bit == real.compressed_end_bit && record.expected_crc == real.expected_crc &&
        record.decoded_bytes == real.decoded_bytes) {
      return &t.blocks[j];
    }
  }
  return nullptr;
}

Wide end_of(const index::BlockIndex& b) { return Wide(b.decoded_start) + b.decoded_bytes; }

// The reader's cache as the least-recently-used rule has it.
class CacheModel {
 public:
  explicit CacheModel(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  bool lookup(std::size_t block) {
    auto it = std::find(order_.begin(), order_.end(), block);
    if (it == order_.end()) return false;
    order_.erase(it);
    order_.push_back(block);
    return true;
  }

  void insert(std::size_t block, std::size_t length) {
    if (length > max_bytes_) return;
    while (used_ + length > max_bytes_ && !order_.empty()) {
      used_ -= lengths_[order_.front()];
      lengths_.erase(order_.front());
      order_.pop_front();
    }
    used_ += length;
    order_.push_back(block);
    lengths_[block] = length;
  }

  void check(const indexed::BlockCache& cache, std::size_t blocks) const {
    FUZZ_CHECK(cache.used_bytes() == used_ && cache.size() == order_.size());
    for (std::size_t k = 0; k < blocks; ++k) FUZZ_CHECK(cache.contains(k) == lengths_.contains(k));
  }

 private:
  std::size_t max_bytes_;
  std::deque<std::size_t> order_;  // least recently used first
  std::map<std::size_t, std::size_t> lengths_;
  std::size_t used_ = 0;
};

// The reader as the rules have it, for an index whose block ends do not go back.
class Model {
 public:
  Model(const index::Index& index, std::size_t budget) : index_(index), cache_(budget) {
    for (const auto& record : index.blocks) blocks_.push_back(decoded_data(index, record));
  }

  enum class Failure { None, Gap, Decode };
  struct Read {
    std::vector<std::uint8_t> bytes;  // what reaches the caller before any failure
    Failure failure = Failure::None;
  };

  // A read of up to `n` bytes at the position (which it moves).
  Read read(std::uint64_t n) {
    Read r;
    while (r.bytes.size() < n && position_ < index_.decoded_bytes) {
      std::size_t k = 0;
      while (k < index_.blocks.size() && end_of(index_.blocks[k]) <= position_) ++k;
      if (k == index_.blocks.size() || index_.blocks[k].decoded_start > position_) {
        r.failure = Failure::Gap;
        break;
      }
      const bool hit = cache_.lookup(k);
      if (!hit) ++decodes_;
      if (!blocks_[k]) {
        r.failure = Failure::Decode;
        break;
      }
      const auto& data = *blocks_[k];
      const std::uint64_t offset = position_ - index_.blocks[k].decoded_start;
      // Never past the size, where a caller's record ends beyond it.
      const std::uint64_t take =
          std::min({data.size() - offset, n - r.bytes.size(), index_.decoded_bytes - position_});
      r.bytes.insert(r.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                     data.begin() + static_cast<std::ptrdiff_t>(offset + take));
      if (!hit) cache_.insert(k, data.size());
      position_ += take;
    }
    return r;
  }

  // The new position, or nothing when the target lies outside the data.
  std::optional<std::uint64_t> seek(Wide base, std::int64_t offset) {
    const Wide target = base + offset;
    if (target < 0 || target > static_cast<Wide>(index_.decoded_bytes)) return std::nullopt;
    position_ = static_cast<std::uint64_t>(target);
    return position_;
  }

  // Takes the reader's position after a read that the model did not follow.
  void follow(std::uint64_t position) { position_ = position; }

  std::uint64_t position() const { return position_; }
  std::uint64_t size() const { return index_.decoded_bytes; }
  std::uint64_t decodes() const { return decodes_; }
  const CacheModel& cache() const { return cache_; }

 private:
  const index::Index& index_;
  std::vector<const std::vector<std::uint8_t>*> blocks_;  // null: the record cannot decode
  CacheModel cache_;
  std::uint64_t position_ = 0;
  std::uint64_t decodes_ = 0;
};

// Whether the position has one block for every reading of the records.
bool ends_do_not_go_back(const index::Index& index) {
  return std::is_sorted(index.blocks.begin(), index.blocks.end(),
                        [](const auto& a, const auto& b) { return end_of(a) < end_of(b); });
}

void check_failure(const IoError& error, Model::Failure expected) {
  if (expected == Model::Failure::Gap) {
    FUZZ_CHECK(error.kind() == IoKind::InvalidData && error.display() == "index has a decoded gap");
  } else {
    FUZZ_CHECK(expected == Model::Failure::Decode);
    FUZZ_CHECK(error.kind() == IoKind::Other && error.payload() != nullptr);
  }
}

// A failure without a model to say which: the library's error inside, or one
// of the reader's own.
void check_clean_failure(const IoError& error) {
  if (error.kind() == IoKind::Other) {
    FUZZ_CHECK(error.payload() != nullptr);
  } else {
    FUZZ_CHECK(error.kind() == IoKind::InvalidData);
    FUZZ_CHECK(error.display() == "index has a decoded gap" || error.display() == "decoder made no progress");
  }
}

void check_seek(const std::expected<std::uint64_t, IoError>& got, std::optional<std::uint64_t> want,
                const indexed::IndexedReader& reader, const Model& model) {
  if (want) {
    FUZZ_CHECK(got.has_value() && *got == *want);
  } else {
    FUZZ_CHECK(!got && got.error().kind() == IoKind::InvalidInput &&
               got.error().display() == "seek outside decompressed data");
  }
  FUZZ_CHECK(reader.position() == model.position());
}

// The index of the run: from an image through from_bytes, or a caller's,
// edited and unvalidated; nothing when the image is refused.
std::optional<index::Index> index_of(std::uint8_t flags, Recipe& recipe) {
  const Truth& t = truth();
  if (flags & 0x10) {
    index::Index x = t.index;
    const std::size_t edits = recipe.byte() % (kMaxEdits + 1);
    for (std::size_t i = 0; i < edits; ++i) fuzz::edit_index(x, recipe);
    return x;
  }
  const std::size_t image_len = recipe.take(2);
  std::vector<std::uint8_t> image;
  for (std::size_t i = 0; i < image_len && !recipe.done(); ++i) image.push_back(recipe.byte());
  if ((flags & 2) && image.size() >= 52) {
    const std::uint64_t length = t.input.size();
    for (std::size_t i = 0; i < 8; ++i) image[12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy(t.index.source_hash.begin(), t.index.source_hash.end(), image.begin() + 20);
  }
  if ((flags & 1) && image.size() >= 32) {
    const auto trailer = fuzz::blake3_of(std::span(image).first(image.size() - 32));
    std::copy(trailer.begin(), trailer.end(), image.end() - 32);
  }
  auto parsed = index::Index::from_bytes(image, t.input);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

// Reads of up to `max` bytes piece by piece where the model cannot follow:
// each piece must be what a record covering the position decodes to there.
// The bytes delivered.
std::uint64_t read_without_model(indexed::IndexedReader& reader, std::uint64_t max) {
  const auto& index = reader.index();
  const std::uint64_t decodes_before = reader.decoded_blocks();
  std::uint64_t pieces = 0, delivered = 0;
  auto got = reader.read_with(max, [&](std::span<const std::uint8_t> piece) {
    const std::uint64_t at = reader.position();
    FUZZ_CHECK(!piece.empty() && piece.size() <= max && piece.size() <= index.decoded_bytes - at);
    const bool covered = std::any_of(index.blocks.begin(), index.blocks.end(), [&](const auto& b) {
      const auto* data = decoded_data(index, b);
      if (!data || b.decoded_start > at || end_of(b) <= at) return false;
      const std::uint64_t offset = at - b.decoded_start;
      return piece.size() <= data->size() - offset &&
             std::equal(piece.begin(), piece.end(), data->begin() + static_cast<std::ptrdiff_t>(offset));
    });
    FUZZ_CHECK(covered);
    ++pieces;
    delivered += piece.size();
  });
  if (!got) check_clean_failure(got.error());
  // At most one decode per piece, and one more for a block that failed.
  FUZZ_CHECK(reader.decoded_blocks() - decodes_before <= pieces + (got ? 0 : 1));
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Truth& t = truth();
  const std::uint8_t flags = data[0];
  Recipe ops(std::span(data, size).subspan(1));
  const auto index = index_of(flags, ops);
  if (!index) return 0;

  const std::size_t budget = kCacheBudgets[(flags >> 2) & 3];
  Model model(*index, budget);
  const bool exact = ends_do_not_go_back(*index);
  auto reader = indexed::IndexedReader::from_source(Source::from_vector(t.input), *index, {1, MAX_BLOCK_OUTPUT},
                                                    budget);
  FUZZ_CHECK(reader.has_value());
  for (std::size_t step = 0; step < kMaxOperations && !ops.done(); ++step) {
    const std::uint64_t before = reader->position();
    std::optional<std::uint64_t> delivered;  // by a read
    switch (ops.byte() % 7) {
      case 0: {  // read into a buffer
        std::vector<std::uint8_t> buffer(ops.take(2));
        if (!exact) {
          delivered = read_without_model(*reader, buffer.size());
          model.follow(reader->position());
          break;
        }
        const auto want = model.read(buffer.size());
        delivered = want.bytes.size();
        auto got = reader->read(buffer);
        if (want.failure != Model::Failure::None) {
          FUZZ_CHECK(!got);
          check_failure(got.error(), want.failure);
        } else {
          FUZZ_CHECK(got.has_value() && *got == want.bytes.size());
          FUZZ_CHECK(std::equal(want.bytes.begin(), want.bytes.end(), buffer.begin()));
        }
        break;
      }
      case 1: {  // read piece by piece
        const std::uint64_t max = ops.take(2);
        if (!exact) {
          delivered = read_without_model(*reader, max);
          model.follow(reader->position());
          break;
        }
        const auto want = model.read(max);
        delivered = want.bytes.size();
        std::vector<std::uint8_t> pieces;
        auto got = reader->read_with(max, [&](std::span<const std::uint8_t> piece) {
          FUZZ_CHECK(!piece.empty());
          pieces.insert(pieces.end(), piece.begin(), piece.end());
        });
        FUZZ_CHECK(pieces == want.bytes);
        if (want.failure != Model::Failure::None) {
          FUZZ_CHECK(!got);
          check_failure(got.error(), want.failure);
        } else {
          FUZZ_CHECK(got.has_value() && *got == want.bytes.size());
        }
        break;
      }
      case 2: {  // seek_start, now and then far past the end
        const auto v = static_cast<std::uint16_t>(ops.take(2));
        const std::uint64_t offset = v >= 0xFF00 ? UINT64_MAX - (v & 0xFF) : v;
        const auto want = offset <= model.size() ? model.seek(offset, 0) : std::nullopt;
        check_seek(reader->seek_start(offset), want, *reader, model);
        break;
      }
      case 3:
      case 4:
      case 5: {  // seek from the start, the position or the end
        const Whence whence = static_cast<Whence>(ops.byte() % 3);
        const auto offset = static_cast<std::int16_t>(ops.take(2));
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
    // A read moves the position by what it delivered, and never past the size
    // (nor around past 2^64), whatever a caller's records claim.
    if (delivered) FUZZ_CHECK(Wide(reader->position()) == Wide(before) + *delivered);
    FUZZ_CHECK(reader->position() <= index->decoded_bytes);
    FUZZ_CHECK(reader->cache().used_bytes() <= budget);
    if (exact) {
      FUZZ_CHECK(reader->decoded_blocks() == model.decodes());
      model.cache().check(reader->cache(), index->blocks.size());
    }
  }
  return 0;
}
