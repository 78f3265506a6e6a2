#include "morvane/format/scan.hpp"

#include <algorithm>
#include <atomic>

#include "morvane/bitreader/bit_reader.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/format/magic_scan.hpp"
#include "morvane/format/prefilter.hpp"
#include "morvane/stream_header.hpp"

namespace morvane::format {
namespace {

// Where the fields after a magic begin, from the magic's first bit.
inline constexpr std::uint64_t kCrcAt = kMagicBits;
inline constexpr std::uint64_t kRandomizedAt = kCrcAt + kCrcBits;
inline constexpr std::uint64_t kOriginAt = kRandomizedAt + kRandomizedBits;
static_assert(kOriginAt + kOriginBits == kBlockHeaderBits);

// What the scan finds, as a sink records it. A magic is handed over only when
// its fields fit in the input.
//   void stream(std::uint64_t byte, std::uint8_t level);      (if kStreams)
//   void block(std::uint64_t bit, const BitReader& reader);
//   void end(std::uint64_t bit, const BitReader& reader);
//   bool stopped() const;   asked between pieces of the range

// Every field of every candidate: the scan of scan_range.
class FullSink {
 public:
  static constexpr bool kStreams = true;
  explicit FullSink(ScanResult& out) : out_(out) {}

  void stream(std::uint64_t byte, std::uint8_t level) { out_.streams.push_back({byte, level}); }
  void block(std::uint64_t bit, const bitreader::BitReader& reader) {
    auto crc = reader.read_bits(bit + kCrcAt, kCrcBits);
    auto randomized = reader.read_bit(bit + kRandomizedAt);
    auto orig_ptr = reader.read_bits(bit + kOriginAt, kOriginBits);
    if (!crc || !randomized || !orig_ptr) return;
    out_.blocks.push_back({bit, static_cast<std::uint32_t>(*crc), static_cast<std::uint32_t>(*orig_ptr), *randomized});
  }
  void end(std::uint64_t bit, const bitreader::BitReader& reader) {
    auto crc = reader.read_bits(bit + kCrcAt, kCrcBits);
    if (!crc) return;
    out_.ends.push_back({bit, static_cast<std::uint32_t>(*crc)});
  }
  bool stopped() const { return false; }

 private:
  ScanResult& out_;
};

// The engine's keys, with the block magics counted against a cap shared by
// every chunk. Counts reach the shared total in batches, so the threads do not
// contend on it; the total is exact once every chunk has added its rest.
class KeySink {
 public:
  static constexpr bool kStreams = false;
  KeySink(std::vector<MagicKey>& out, std::atomic<std::uint64_t>& blocks, std::uint64_t cap)
      : out_(out), blocks_(blocks), cap_(cap) {}
  ~KeySink() { settle(); }
  KeySink(const KeySink&) = delete;
  KeySink& operator=(const KeySink&) = delete;

  void stream(std::uint64_t, std::uint8_t) {}
  void block(std::uint64_t bit, const bitreader::BitReader&) {
    out_.push_back(block_key(bit));
    if (++unsettled_ == kBatch) settle();
  }
  void end(std::uint64_t bit, const bitreader::BitReader&) { out_.push_back(end_key(bit)); }
  bool stopped() const { return blocks_.load(std::memory_order_relaxed) > cap_; }

 private:
  static constexpr std::uint64_t kBatch = 256;

  void settle() {
    blocks_.fetch_add(unsettled_, std::memory_order_relaxed);
    unsettled_ = 0;
  }

  std::vector<MagicKey>& out_;
  std::atomic<std::uint64_t>& blocks_;
  const std::uint64_t cap_;
  std::uint64_t unsettled_ = 0;
};

template <class Sink>
class RangeScanner {
 public:
  RangeScanner(std::span<const std::uint8_t> data, Sink& sink) : data_(data), reader_(data), sink_(sink) {}

  // Records what the flags of `mask` at byte i turn out to be.
  void check(std::uint64_t i, std::uint32_t mask) {
    if constexpr (Sink::kStreams) {
      if (mask & kStreamFlag) {
        if (auto level = stream_header_level(data_, i)) sink_.stream(i, *level);
      }
    }
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
      // Bounds first: a candidate whose fields pass the input's end is none.
      if (value == kEndMagic) {
        if (reader_.len_bits() - bit >= kEndRecordBits) sink_.end(bit, reader_);
      } else if (value == kBlockMagic) {
        if (reader_.len_bits() - bit >= kBlockHeaderBits) sink_.block(bit, reader_);
      }
    }
  }

 private:
  // The bytes a magic that begins in byte i reaches into, at any bit position.
  static constexpr unsigned kWindowBytes = (kMagicBits + 7) / 8 + 1;
  static_assert(kWindowBytes == 7);

  // The kWindowBytes bytes from i as one big-endian value; bytes past the input count as 0.
  std::uint64_t window_at(std::uint64_t i) const {
    std::uint64_t window = 0;
    for (std::uint64_t k = i; k < i + kWindowBytes; ++k) window = (window << 8) | (k < data_.size() ? data_[k] : 0);
    return window;
  }

  std::span<const std::uint8_t> data_;
  bitreader::BitReader reader_;
  Sink& sink_;
};

// The lead table without the stream-header flag, for sinks that want no headers.
constexpr PairFilter without_streams(PairFilter table) {
  for (auto& entry : table) entry &= ~kStreamFlag;
  return table;
}
inline constexpr PairFilter kMagicLeadFilter = without_streams(kLeadFilter);

// Bytes between two looks at whether the sink has stopped.
inline constexpr std::uint64_t kPieceBytes = 65536;

template <class Sink>
void scan_into(std::span<const std::uint8_t> data, std::uint64_t start, std::uint64_t end, Sink& sink) {
  const std::uint64_t length = data.size();
  end = std::min(end, length);
  if (start >= end) return;
  RangeScanner<Sink> scanner(data, sink);
  const std::uint8_t* p = data.data();
  static constexpr const PairFilter& lead = Sink::kStreams ? kLeadFilter : kMagicLeadFilter;

  // Fast part: every byte i here has a successor inside the input, so the
  // pair lookup needs no bounds check. A flag that survives the pair filter
  // is a necessary condition for a match, so checking only those positions
  // finds exactly what a full comparison at every bit would.
  const std::uint64_t paired_end = std::min(end, length - 1);
  std::uint64_t i = start;
  auto flags = [p](std::uint64_t at) { return lead[p[at]] & kFollowFilter[p[at + 1]]; };
  while (i + 8 <= paired_end) {
    if (sink.stopped()) return;
    const std::uint64_t piece_end = std::min(paired_end, i + kPieceBytes);
    for (; i + 8 <= piece_end; i += 8) {
      std::uint32_t any = 0;
      for (unsigned k = 0; k < 8; ++k) any |= flags(i + k);
      if (any == 0) [[likely]] continue;
      for (unsigned k = 0; k < 8; ++k) {
        if (const std::uint32_t mask = flags(i + k)) scanner.check(i + k, mask);
      }
    }
  }
  for (; i < paired_end; ++i) {
    if (const std::uint32_t mask = flags(i)) scanner.check(i, mask);
  }
  // The input's last byte: its successor counts as 0, as in the window.
  if (i < end) {
    if (const std::uint32_t mask = lead[p[i]] & kFollowFilter[0]) scanner.check(i, mask);
  }
}

}  // namespace

ScanResult scan_range(std::span<const std::uint8_t> data, std::uint64_t start, std::uint64_t end) {
  ScanResult out;
  FullSink sink(out);
  scan_into(data, start, end, sink);
  return out;
}

Result<ScanResult> scan_input(std::span<const std::uint8_t> data) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  return scan_range(data, 0, data.size());
}

Result<MagicScan> scan_magics(std::span<const std::uint8_t> data, const concurrency::ThreadPool* pool,
                              std::uint64_t block_cap) {
  if (!stream_header_level(data, 0)) return fail(Error::invalid_stream_header());
  const std::uint64_t length = data.size();
  const std::uint64_t chunks = scan_chunks(length);
  MagicScan scan;
  scan.chunks.resize(static_cast<std::size_t>(chunks));
  std::atomic<std::uint64_t> blocks{0};
  // Each chunk records only magics that begin inside it, in ascending order,
  // into a list of its own.
  const auto scan_chunk = [&](std::size_t c) {
    std::vector<MagicKey>& keys = scan.chunks[c];
    {
      KeySink sink(keys, blocks, block_cap);
      const std::uint64_t start = c * kScanChunkBytes;
      scan_into(data, start, std::min(start + kScanChunkBytes, length), sink);
    }
    // A list that grew by doubling may hold twice its size; a chunk's copy is small.
    if (keys.capacity() > keys.size() + keys.size() / 4 + 16) keys.shrink_to_fit();
  };
  if (pool != nullptr && chunks > 1) {
    pool->for_each_chunk(static_cast<std::size_t>(chunks), scan_chunk);
  } else {
    for (std::size_t c = 0; c < chunks && blocks.load(std::memory_order_relaxed) <= block_cap; ++c) scan_chunk(c);
  }
  if (blocks.load(std::memory_order_relaxed) > block_cap) {
    scan.chunks.clear();
    scan.over_cap = true;
  }
  return scan;
}

}  // namespace morvane::format
