// The parallel road: the queue's budget, the channel, the consumer's reorder
// map, and whole decodes through a decode step that counts, waits or faults.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/decode/parallel.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"

using namespace morvane;
using namespace morvane::decode;

namespace {

inline constexpr std::uint64_t kDefaultLimit = 1073741824;

struct Collect {
  std::vector<std::uint8_t> out;
  std::size_t writes = 0;
  std::size_t fail_at = 0;  // write_all number (from 1) that fails
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (++writes == fail_at) return std::unexpected(IoError::custom(IoKind::Other, "disk full"));
    out.insert(out.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, IoError> flush() { return {}; }
};

// Shared counters of a decode step: calls, decodes running now and the most at once.
struct Counters {
  std::atomic<std::uint64_t> calls{0};
  std::atomic<int> running{0}, peak{0};
};

struct CountingStep {
  Counters& counters;
  Result<decoder::DecodedCandidate> operator()(std::span<const std::uint8_t> data, std::uint64_t bit,
                                               std::uint32_t crc) const {
    counters.calls.fetch_add(1);
    int now = counters.running.fetch_add(1) + 1;
    for (int seen = counters.peak.load(); now > seen && !counters.peak.compare_exchange_weak(seen, now);) {
    }
    auto result = decoder::decode_candidate(data, bit, crc);
    counters.running.fetch_sub(1);
    return result;
  }
};

// The scanning road up to the parallel one, with a decode step of the test's own.
template <class Step, class W, class P = NoProgress>
Result<index::Index> run_parallel(std::span<const std::uint8_t> data, W& writer, std::uint64_t threads,
                                  std::uint64_t limit, const Step& step, P&& progress = {}) {
  auto pool = thread_pool(threads).value();
  auto markers = collect_markers(format::scan_with_pool(data, pool.get()).value(), data.size());
  if (!markers) return fail(markers.error());
  return parallel_road<Walk::kIndex>(data, writer, *markers, *pool, limit, progress, step);
}

// Many blocks in many streams: pbzip2 at level 1 with 100000-byte chunks.
const std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>& many_blocks() {
  static const auto sample = [] {
    auto text = test::text_bytes(3000000, 31);
    return std::make_pair(text, test::pbzip2_compress(text, 1, 1));
  }();
  return sample;
}

// A level-9 stream whose blocks carry false block magics in their selector
// lists. Selectors are written as unary codes (a run of ones ended by a zero),
// so any bit pattern without long runs of ones can be planted there; every
// table is the same, so the selectors' values do not change the block.
struct Planted {
  std::vector<std::uint8_t> compressed, decoded;
  std::vector<std::uint64_t> real, planted;  // bit offsets of the true and the false block magics
};

Planted planted_stream(std::size_t blocks, std::size_t per_block, std::size_t period, std::size_t selector_bits) {
  Planted result;
  test::BitWriter out;
  test::write_stream_header(out, 9);
  std::uint32_t combined = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    auto data = test::text_bytes(1500, 40 + b);
    test::BlockFields fields = test::block_from_bytes(data, 3);
    for (auto& lengths : fields.lengths) lengths = fields.lengths[0];
    std::vector<std::uint32_t> codes;
    std::vector<std::size_t> magic_codes;
    std::uint32_t run = 0;
    auto put = [&](bool bit) { bit ? void(++run) : (codes.push_back(run), void(run = 0)); };
    std::size_t bits = 0;
    for (std::size_t p = 0; p < per_block; ++p, bits += period) {
      magic_codes.push_back(codes.size());
      for (int i = 47; i >= 0; --i) put((kBlockMagic >> i) & 1);
      for (std::size_t i = 48; i < period; ++i) put(false);
    }
    for (; bits < selector_bits; ++bits) put(false);
    fields.selector_codes = codes;
    auto layout = test::write_block(out, fields);
    result.real.push_back(layout.start);
    for (std::size_t at : magic_codes) result.planted.push_back(layout.selector_starts[at]);
    result.decoded.insert(result.decoded.end(), data.begin(), data.end());
    combined = test::combine_crc(combined, fields.stored_crc);
  }
  test::write_stream_end(out, combined);
  result.compressed = out.take();
  return result;
}

std::size_t block_candidates(std::span<const std::uint8_t> data) {
  return format::scan_range(data, 0, data.size()).blocks.size();
}

}  // namespace

TEST(ParallelQueue, BudgetHandOutSkipAndCancel) {
  WorkQueue queue(2 * MAX_BLOCK_OUTPUT, 5);
  EXPECT_EQ(queue.acquire(), 0u);
  EXPECT_EQ(queue.acquire(), 1u);
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  queue.settle(10);  // the first decode finished with 10 bytes
  EXPECT_EQ(queue.in_use(), MAX_BLOCK_OUTPUT + 10);
  // No room for a third decode until the 10 bytes are given back.
  std::optional<std::uint64_t> third;
  std::thread waiter([&] { third = queue.acquire(); });
  queue.retire(10);
  waiter.join();
  EXPECT_EQ(third, 2u);
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  queue.skip_to(4);
  queue.skip_to(1);  // never backwards
  queue.settle(0);
  EXPECT_EQ(queue.acquire(), 4u);
  queue.settle(0);
  queue.settle(0);
  EXPECT_EQ(queue.acquire(), std::nullopt);  // every item is out
  // A worker waiting for budget leaves when the queue is cancelled.
  WorkQueue full(MAX_BLOCK_OUTPUT, 3);
  EXPECT_EQ(full.acquire(), 0u);
  std::optional<std::uint64_t> left = 99;
  std::thread blocked([&] { left = full.acquire(); });
  full.cancel();
  blocked.join();
  EXPECT_EQ(left, std::nullopt);
}

TEST(ParallelChannel, SendFailsWithoutReceiverAndReceiveSeesTheClose) {
  auto ends = channel<std::vector<int>>();
  {
    Sender<std::vector<int>> a = std::move(ends.first), b = a;
    std::thread producer([&] {
      for (int i = 0; i < 1000; ++i) ASSERT_FALSE(b.send({i}));
    });
    producer.join();
    ASSERT_FALSE(a.send({1000}));
  }
  // Every message arrives in order, then the close is seen (all senders gone).
  int expected = 0;
  while (auto message = ends.second.receive()) EXPECT_EQ((*message)[0], expected++);
  EXPECT_EQ(expected, 1001);
  auto other = channel<std::vector<int>>();
  other.second.close();
  EXPECT_EQ(other.first.send({7, 8}), (std::optional<std::vector<int>>{{7, 8}}));
}

TEST(ParallelCandidatesMap, ParkedResultsAndTheirBudget) {
  // Block markers at indices 0, 2, 3, 5, 6, 8, 9 (end markers between them).
  std::vector<WorkItem> items = {{0, 0, 0}, {2, 0, 0}, {3, 0, 0}, {5, 0, 0}, {6, 0, 0}, {8, 0, 0}, {9, 0, 0}};
  WorkQueue queue(10 * MAX_BLOCK_OUTPUT, items.size());
  auto ends = channel<WorkResult>();
  auto sized = [](std::size_t size) { return decoder::DecodedCandidate{std::vector<std::uint8_t>(size), 0, 0}; };
  // The first four decodes finished (the fourth failed, size 0); the consumer gets them out of order.
  for (std::uint64_t size : {100, 200, 300, 0}) {
    queue.acquire();
    queue.settle(size);
  }
  const Error parked = Error::decode(77, DecodeError::InvalidHuffman);
  for (WorkResult r : {WorkResult{3, sized(300)}, WorkResult{5, fail(parked)}, WorkResult{0, sized(100)},
                       WorkResult{2, sized(200)}}) {
    ASSERT_FALSE(ends.first.send(std::move(r)));
  }
  EXPECT_EQ(queue.in_use(), 600u);
  ParallelCandidates candidates(std::move(ends.second), queue, items);
  // Taking 2 parks 3 and 5 on the way and drops 0, which is below it; the taken result leaves the budget at once.
  auto two = candidates.take(2);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->data.size(), 200u);
  EXPECT_EQ(queue.in_use(), 300u);
  candidates.discard_before(5);  // the chain went past 3: discarding gives its bytes back
  EXPECT_EQ(queue.in_use(), 0u);
  EXPECT_EQ(candidates.take(5).error(), parked);  // a parked failure reaches the walk unchanged
  // Passing marker 6 before any worker started it: it is never handed out.
  candidates.discard_before(8);
  EXPECT_EQ(queue.acquire(), 5u);
  queue.settle(0);
  // With every sender gone and the result missing, the consumer stops.
  ends.first.close();
  EXPECT_EQ(candidates.take(8).error(), Error::invalid_configuration("parallel decoder stopped early"));
}

TEST(ParallelRoad, RunningDecodesNeverExceedTheBudgetNorOutliveAWriteFailure) {
  const auto& [decoded, compressed] = many_blocks();
  // fail_at: the write that fails (0: none); a failing walk still waits for every busy worker.
  for (auto [threads, limit, most, fail_at] :
       {std::tuple{8, MAX_BLOCK_OUTPUT, 1, 0}, std::tuple{8, 3 * MAX_BLOCK_OUTPUT, 3, 0},
        std::tuple{32, kDefaultLimit, 23, 0}, std::tuple{8, kDefaultLimit, 23, 2}}) {
    SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit << ", failing write " << fail_at);
    Counters counters;
    Collect writer;
    writer.fail_at = static_cast<std::size_t>(fail_at);
    auto index = run_parallel(compressed, writer, threads, limit, CountingStep{counters});
    EXPECT_LE(counters.peak.load(), most);
    EXPECT_EQ(counters.running.load(), 0);
    if (fail_at != 0) {
      ASSERT_FALSE(index);
      EXPECT_EQ(index.error().display(), "disk full");
      EXPECT_GE(counters.calls.load(), 2u);
      continue;
    }
    ASSERT_TRUE(index) << index.error().display();
    EXPECT_EQ(writer.out, decoded);
    EXPECT_EQ(counters.calls.load(), index->blocks.size());  // no false markers in this file
  }
}

TEST(ParallelRoad, WorkerFaultOrFailingBlockEndsTheCallWithoutHanging) {
  const auto& compressed = many_blocks().second;
  auto blocks = build_index(compressed, {1, kDefaultLimit}).value().blocks;
  // A throwing worker, early and late, under the tightest budget (a lost reservation leaves no room) and the
  // default; a damaged block on the chain gives its own error after everything before it is written.
  struct Case { std::size_t block; bool throws; std::uint64_t threads, limit; };
  const Case cases[] = {{1, true, 4, MAX_BLOCK_OUTPUT},     {1, true, 4, kDefaultLimit},
                        {blocks.size() - 2, true, 4, MAX_BLOCK_OUTPUT}, {blocks.size() - 2, true, 4, kDefaultLimit},
                        {5, false, 2, kDefaultLimit},       {5, false, 8, kDefaultLimit}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "block " << c.block << (c.throws ? " throws" : " damaged") << ", limit "
                                    << c.limit << ", " << c.threads << " threads");
    const auto& victim = blocks[c.block];
    auto data = compressed;
    if (!c.throws) data[(victim.compressed_start_bit + victim.compressed_end_bit) / 16] ^= 0x10;
    auto own = decoder::decode_candidate(data, victim.compressed_start_bit, victim.expected_crc);
    ASSERT_EQ(own.has_value(), c.throws);
    auto step = [&](std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint32_t crc) {
      if (c.throws && at == victim.compressed_start_bit) throw std::bad_alloc();
      return DecodeCandidate{}(bytes, at, crc);
    };
    Collect writer;
    EXPECT_EQ(run_parallel(data, writer, c.threads, c.limit, step).error(),
              c.throws ? Error::invalid_configuration("parallel decoder worker panicked") : own.error());
    if (c.throws) {
      EXPECT_LE(writer.out.size(), victim.decoded_start);
    } else {
      EXPECT_EQ(writer.out.size(), victim.decoded_start);
    }
  }
}

TEST(ParallelRoad, FalseMagicWhoseDecodeFailsIsNeverReported) {
  auto planted = planted_stream(2, 1, 128, 4000);
  ASSERT_EQ(block_candidates(planted.compressed), 4u);
  EXPECT_FALSE(decoder::decode_candidate(planted.compressed, planted.planted[0], 0));
  for (std::uint64_t threads : {1, 2, 8}) {
    Collect writer;
    ASSERT_TRUE(decompress_to_writer(planted.compressed, writer, {threads, MAX_BLOCK_OUTPUT}));
    EXPECT_EQ(writer.out, planted.decoded);
    auto index = build_index(planted.compressed, {threads, kDefaultLimit});
    ASSERT_TRUE(index);
    EXPECT_EQ(index->blocks.size(), 2u);
  }
}

TEST(ParallelRoad, MarkerCapOnAValidFile) {
  // The length does not depend on how many magics are planted: exactly the cap, and one more.
  const std::size_t length = planted_stream(1, 0, 64, 40000).compressed.size();
  const std::size_t cap = (length >> 4) + 64;
  for (std::size_t markers : {cap, cap + 1}) {
    auto planted = planted_stream(1, markers - 1, 64, 40000);
    ASSERT_EQ(planted.compressed.size(), length);
    ASSERT_EQ(block_candidates(planted.compressed), markers);
    for (std::uint64_t threads : {1, 4}) {
      auto index = build_index(planted.compressed, {threads, kDefaultLimit});
      if (markers == cap) {
        ASSERT_TRUE(index) << index.error().display();
        EXPECT_EQ(index->decoded_bytes, planted.decoded.size());
      } else {
        EXPECT_EQ(index.error(), Error::invalid_configuration("input contains too many speculative markers"));
      }
    }
    Collect writer;  // the serial decompression road knows no markers
    EXPECT_TRUE(decompress_to_writer(planted.compressed, writer, {1, kDefaultLimit}));
  }
}

TEST(ParallelRoad, SpeculativeWorkStaysNearTheSerialWork) {
  // False magics every 128 bits (16 bytes) inside three real blocks; the step
  // holds each false decode until the chain has passed it, as a slow forged one would.
  auto planted = planted_stream(3, 300, 128, 300 * 128 + 200);
  ASSERT_EQ(block_candidates(planted.compressed), 903u);
  const std::set<std::uint64_t> real(planted.real.begin(), planted.real.end());
  std::mutex mutex;
  std::condition_variable moved;
  std::uint64_t passed_bits = 0;
  auto progress = [&](std::uint64_t consumed, std::uint64_t) {
    std::lock_guard lock(mutex);
    passed_bits = 8 * consumed;
    moved.notify_all();
  };
  Counters counters;
  auto step = [&](std::span<const std::uint8_t> data, std::uint64_t bit, std::uint32_t crc) {
    if (!real.contains(bit)) {
      std::unique_lock lock(mutex);
      moved.wait(lock, [&] { return passed_bits > bit; });
    }
    return CountingStep{counters}(data, bit, crc);
  };
  constexpr std::uint64_t kThreads = 8;
  Collect writer;
  auto index = run_parallel(planted.compressed, writer, kThreads, kDefaultLimit, step, progress);
  ASSERT_TRUE(index) << index.error().display();
  EXPECT_EQ(writer.out, planted.decoded);
  // While the chain stands at a real block each worker can have started at
  // most one false candidate inside it; once past, none below it is handed out.
  const std::uint64_t bound = planted.real.size() * (kThreads + 1);
  EXPECT_LE(counters.calls.load(), bound);
  EXPECT_GT(planted.planted.size(), 10 * bound);
}
