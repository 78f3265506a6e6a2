#include "morvane/format/scan.hpp"

#include <algorithm>

#include "morvane/format/parallel_scan.hpp"

#include "morvane/bitreader/bit_reader.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/format/prefilter.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::format {
namespace {

// Where the fields after a magic begin, from the magic's first bit.
inline constexpr std::uint64_t kCrcAt = kMagicBits;
inline constexpr std::uint64_t kRandomizedAt = kCrcAt + kCrcBits;
inline constexpr std::uint64_t kOriginAt = kRandomizedAt + kRandomizedBits;
static_assert(kOriginAt + kOriginBits == kBlockHeaderBits);

class RangeScanner {
 public:
  RangeScanner(std::span<const std::uint8_t> data, ScanResult& out) : data_(data), reader_(data), out_(out) {}

  // Records what the flags of `mask` at byte i turn out to be.
  void check(std::uint64_t i, std::uint32_t mask) {
    if (mask & kStreamFlag) check_stream(i);
    mask &= ~kStreamFlag;
    if (mask == 0) return;
    const std::uint64_t window = window_at(i);
    // Lowest position first, so candidates stay in ascending bit order; a
    // position flagged for both magics can match at most one of them.
    for (unsigned z = 0; z < 8; ++z) {
      const std::uint32_t bits = (1u << z) | (1u << (kEndFlagShift + z));
      if ((mask & bits) == 0) continue;
      const std::uint64_t value = (window >> (kWindowBytes * 8 - kMagicBits - z)) & kMagicMask;
      const std::uint64_t bit = 8 * i + z;
      if (value == kEndMagic) {
        record_end(bit);
      } else if (value == kBlockMagic) {
        record_block(bit);
      }
    }
  }

 private:
  // The four header bytes must lie inside the input, not inside the range.
  void check_stream(std::uint64_t i) {
    if (auto level = stream_header_level(data_, i)) out_.streams.push_back({i, *level});
  }

  // The bytes a magic that begins in byte i reaches into, at any bit position.
  static constexpr unsigned kWindowBytes = (kMagicBits + 7) / 8 + 1;
  static_assert(kWindowBytes == 7);

  // The kWindowBytes bytes from i as one big-endian value; bytes past the input count as 0.
  std::uint64_t window_at(std::uint64_t i) const {
    std::uint64_t window = 0;
    for (std::uint64_t k = i; k < i + kWindowBytes; ++k) window = (window << 8) | (k < data_.size() ? data_[k] : 0);
    return window;
  }

  // Bounds first: a failed read would only mean "no candidate" anyway.
  void record_end(std::uint64_t bit) {
    if (reader_.len_bits() - bit < kEndRecordBits) return;
    auto crc = reader_.read_bits(bit + kCrcAt, kCrcBits);
    if (!crc) return;
    out_.ends.push_back({bit, static_cast<std::uint32_t>(*crc)});
  }

  void record_block(std::uint64_t bit) {
    if (reader_.len_bits() - bit < kBlockHeaderBits) return;
    auto crc = reader_.read_bits(bit + kCrcAt, kCrcBits);
    auto randomized = reader_.read_bit(bit + kRandomizedAt);
    auto orig_ptr = reader_.read_bits(bit + kOriginAt, kOriginBits);
    if (!crc || !randomized || !orig_ptr) return;
    out_.blocks.push_back({bit, static_cast<std::uint32_t>(*crc), static_cast<std::uint32_t>(*orig_ptr), *randomized});
  }

  std::span<const std::uint8_t> data_;
  bitreader::BitReader reader_;
  ScanResult& out_;
};

}  // namespace

ScanResult scan_range(std::span<const std::uint8_t> data, std::uint64_t start, std::uint64_t end) {
  ScanResult out;
  const std::uint64_t length = data.size();
  end = std::min(end, length);
  if (start >= end) return out;
  RangeScanner scanner(data, out);
  const std::uint8_t* p = data.data();

  // Fast part: every byte i here has a successor inside the input, so the
  // pair lookup needs no bounds check. A flag that survives the pair filter
  // is a necessary condition for a match, so checking only those positions
  // finds exactly what a full comparison at every bit would.
  const std::uint64_t paired_end = std::min(end, length - 1);
  std::uint64_t i = start;
  auto flags = [p](std::uint64_t at) { return kLeadFilter[p[at]] & kFollowFilter[p[at + 1]]; };
  for (; i + 8 <= paired_end; i += 8) {
    std::uint32_t any = 0;
    for (unsigned k = 0; k < 8; ++k) any |= flags(i + k);
    if (any == 0) [[likely]] continue;
    for (unsigned k = 0; k < 8; ++k) {
      if (const std::uint32_t mask = flags(i + k)) scanner.check(i + k, mask);
    }
  }
  for (; i < paired_end; ++i) {
    if (const std::uint32_t mask = flags(i)) scanner.check(i, mask);
  }
  // The input's last byte: its successor counts as 0, as in the window.
  if (i < end) {
    if (const std::uint32_t mask = kLeadFilter[p[i]] & kFollowFilter[0]) scanner.check(i, mask);
  }
  return out;
}

Result<ScanResult> scan_with_pool(std::span<const std::uint8_t> data, const concurrency::ThreadPool* pool) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  const std::uint64_t length = data.size();
  if (pool == nullptr || length <= kScanChunkBytes) return scan_range(data, 0, length);

  // Each chunk reports only candidates that begin inside it, in ascending
  // order, so joining the chunks in order keeps every vector ascending.
  const std::uint64_t chunks = scan_chunks(length);
  auto parts = pool->map_chunks(static_cast<std::size_t>(chunks), [&](std::size_t c) {
    const std::uint64_t start = c * kScanChunkBytes;
    return scan_range(data, start, std::min(start + kScanChunkBytes, length));
  });
  ScanResult joined;
  for (auto& part : parts) {
    joined.streams.insert(joined.streams.end(), part.streams.begin(), part.streams.end());
    joined.blocks.insert(joined.blocks.end(), part.blocks.begin(), part.blocks.end());
    joined.ends.insert(joined.ends.end(), part.ends.begin(), part.ends.end());
  }
  return joined;
}

Result<ScanResult> scan_input(std::span<const std::uint8_t> data) { return scan_with_pool(data, nullptr); }

}  // namespace morvane::format
