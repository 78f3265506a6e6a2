// The parallel road: the queue's confirmations, its grants of output (window,
// ceiling, free list) and its account of speculation, the channel, the
// consumer's reorder map, and whole decodes through decode steps that count,
// hold or fault, on ordinary, run-heavy and crafted input.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/decode/workers.hpp"
#include "morvane/format/magic_scan.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/crafted.hpp"
#include "support/nested_headers.hpp"

using namespace morvane;
using namespace morvane::concurrency;
using namespace morvane::decode;
using decoder::BlockBuffer;

namespace {

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

// Shared counters of the decode steps: reads and finishes (inversions),
// expansions, steps running now and the most at once.
struct Counters {
  std::atomic<std::uint64_t> reads{0}, finishes{0}, expands{0};
  std::atomic<int> running{0}, peak{0};

  void enter() {
    int now = running.fetch_add(1) + 1;
    for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
  }
};

struct NoHold {
  void operator()(const WorkItem&) const {}
};

// The product's steps, counted; `hold` runs before each read (to hold or fail it).
template <class Hold = NoHold>
struct CountingSteps final : WorkSteps {
  CountingSteps(Counters& counters, Hold hold = {}) : counters(counters), hold(std::move(hold)) {}
  Counters& counters;
  Hold hold;
  Result<std::optional<decoder::BlockShape>> read(std::span<const std::uint8_t> data, const WorkItem& item,
                                                  decoder::Decoder& decoder,
                                                  const decoder::Wanted& wanted) const override {
    hold(item);
    counters.reads.fetch_add(1);
    counters.enter();
    auto shape = WorkSteps::read(data, item, decoder, wanted);
    counters.running.fetch_sub(1);
    return shape;
  }
  Result<std::uint64_t> invert(decoder::Decoder& decoder) const override {
    counters.finishes.fetch_add(1);
    counters.enter();
    auto inverted = WorkSteps::invert(decoder);
    counters.running.fetch_sub(1);
    return inverted;
  }
  Result<void> expand(decoder::Decoder& decoder, BlockBuffer& out) const override {
    counters.expands.fetch_add(1);
    return WorkSteps::expand(decoder, out);
  }
};

// The scanning road up to the parallel one, with decode steps of the test's own.
template <class Steps, class W, class P = NoProgress>
Result<index::Index> run_parallel(std::span<const std::uint8_t> data, W& writer, std::uint64_t threads,
                                  std::uint64_t limit, const Steps& steps, P&& progress = {}) {
  auto pool = thread_pool(threads).value();
  auto scan = format::scan_magics(data, pool.get(), UINT64_MAX).value();
  const MarkerList markers(data, std::move(scan.chunks));
  return parallel_road<Walk::kIndex>(data, writer, markers, *pool, limit, progress, &steps);
}

// Many blocks in many streams: pbzip2 at level 1 with 100000-byte chunks.
const std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>& many_blocks() {
  static const auto sample = [] {
    auto text = test::text_bytes(3000000, 31);
    return std::make_pair(text, test::pbzip2_compress(text, 1, 1));
  }();
  return sample;
}

// Run-heavy level-1 blocks (5.2 MB each) between tiny ones, in several streams.
const std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>& mixed_blocks() {
  static const auto sample = [] {
    const std::vector<std::uint8_t> zeros(12000000, 0), tiny = test::text_bytes(300, 32);
    auto text = test::text_bytes(400000, 33);
    std::vector<std::uint8_t> decoded, compressed;
    const std::vector<std::uint8_t>* parts[] = {&zeros, &tiny, &text, &zeros, &tiny};
    for (const auto* part : parts) {
      auto stream = test::bzip2_compress(*part, part == &text ? 9 : 1);
      decoded.insert(decoded.end(), part->begin(), part->end());
      compressed.insert(compressed.end(), stream.begin(), stream.end());
    }
    return std::make_pair(decoded, compressed);
  }();
  return sample;
}

std::size_t block_candidates(std::span<const std::uint8_t> data) {
  return format::scan_range(data, 0, data.size()).blocks.size();
}

// A stream header and block markers at bits 32, 132, 232, ...: the first is
// on the chain, and no other is confirmed or passed while nothing is read.
const std::vector<std::uint8_t> kHeader = {'B', 'Z', 'h', '9'};
MarkerList block_markers(std::size_t n) {
  std::vector<Marker> markers;
  for (std::size_t i = 0; i < n; ++i) markers.push_back(Marker::block(32 + 100 * i));
  return MarkerList::of(kHeader, markers);
}

// The scan's marker list of a whole input.
MarkerList markers_of(std::span<const std::uint8_t> data) {
  return MarkerList(data, format::scan_magics(data, nullptr, UINT64_MAX).value().chunks);
}

// Runs `f` on a thread of its own; done() tells whether it has returned.
class Running {
 public:
  explicit Running(std::function<void()> f) : thread_([this, f = std::move(f)] {
    f();
    done_.store(true);
  }) {}
  ~Running() { join(); }
  bool done() const { return done_.load(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Long enough for a thread that is not held back to have returned: a check
// that a wait is still waiting fails only when it should, never by chance the
// other way.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

}  // namespace

TEST(ParallelQueue, OutputIsGrantedWithinTheWindowAndTheCeiling) {
  const auto markers = block_markers(10);
  // Two threads: a window of four blocks past the last one taken, and at most
  // two blocks of the largest size (one being expanded, one being written).
  WorkQueue queue(kDefaultMemoryLimit, 2, kHeader, markers);
  EXPECT_EQ(queue.ceiling(), 2 * MAX_BLOCK_OUTPUT);
  EXPECT_EQ(WorkQueue(kDefaultMemoryLimit, 9, kHeader, markers).ceiling(), 5 * MAX_BLOCK_OUTPUT);
  std::vector<BlockBuffer> held;
  for (std::uint64_t place = 0; place < 4; ++place) held.push_back(queue.grant(place, 1000).value());
  EXPECT_EQ(held[0].size(), 1000u);
  EXPECT_EQ(queue.in_use(), 4000u);
  // The fifth waits until the consumer takes a block.
  std::optional<BlockBuffer> fifth;
  Running waiter([&] { fifth = queue.grant(4, 2000); });
  settle();
  EXPECT_FALSE(waiter.done());
  queue.taken();
  waiter.join();
  ASSERT_TRUE(fifth);
  // A written block's buffer waits in the free list, still counted, and the
  // next block of a fitting size adopts it: no new storage.
  held.erase(held.begin());
  EXPECT_EQ(queue.in_use(), 6000u);
  queue.taken();
  const std::uint64_t obtained = BlockBuffer::storage_obtained();
  auto sixth = queue.grant(5, 900);
  ASSERT_TRUE(sixth);
  EXPECT_EQ(BlockBuffer::storage_obtained(), obtained);
  EXPECT_EQ(sixth->capacity(), 1000u);
  EXPECT_EQ(queue.in_use(), 6000u);
  // A worker waiting for its grant leaves when the queue is cancelled.
  std::optional<BlockBuffer> never = BlockBuffer();
  Running blocked([&] { never = queue.grant(9, 10); });
  queue.cancel();
  blocked.join();
  EXPECT_FALSE(never);
}

TEST(ParallelQueue, TheLastBlockOfRoomIsKeptForTheBlockTheWriterWaitsFor) {
  const auto markers = block_markers(10);
  WorkQueue queue(2 * MAX_BLOCK_OUTPUT, 8, kHeader, markers);
  EXPECT_EQ(queue.ceiling(), 2 * MAX_BLOCK_OUTPUT);
  // Place 0 is the first not yet granted: later places may hold only up to
  // the ceiling less one largest block.
  auto second = queue.grant(1, 40000000);
  ASSERT_TRUE(second);
  std::optional<BlockBuffer> third;
  Running later([&] { third = queue.grant(2, 10000000); });
  settle();
  EXPECT_FALSE(later.done());
  // The first fits in the room kept for it; the third waits for bytes.
  auto first = queue.grant(0, MAX_BLOCK_OUTPUT - 1);
  ASSERT_TRUE(first);
  EXPECT_LE(queue.in_use(), queue.ceiling());
  settle();
  EXPECT_FALSE(later.done());
  // Written and dropped: the free buffer gives way, the third fits.
  first.reset();
  queue.taken();
  later.join();
  ASSERT_TRUE(third);
  EXPECT_LE(queue.in_use(), queue.ceiling());
  // The smallest limit holds one block at a time.
  WorkQueue tight(MAX_BLOCK_OUTPUT, 8, kHeader, markers);
  auto only = tight.grant(0, MAX_BLOCK_OUTPUT);
  ASSERT_TRUE(only);
  std::optional<BlockBuffer> next;
  Running waiting([&] { next = tight.grant(1, 100); });
  settle();
  EXPECT_FALSE(waiting.done());
  only.reset();  // the free buffer is adopted or freed, never waited for
  tight.taken();
  waiting.join();
  ASSERT_TRUE(next);
  EXPECT_LE(tight.in_use(), MAX_BLOCK_OUTPUT);
}

TEST(ParallelQueue, FreeBuffersGiveWayToANewBlock) {
  const auto markers = block_markers(10);
  WorkQueue queue(2 * MAX_BLOCK_OUTPUT, 8, kHeader, markers);
  // Four 15 MB blocks, written and recycled: the free list holds them, still counted.
  std::vector<BlockBuffer> results;
  for (std::uint64_t place = 0; place < 4; ++place) {
    results.push_back(queue.grant(place, 15000000).value());
    queue.taken();
  }
  results.clear();
  const std::uint64_t before = BlockBuffer::allocated_bytes();
  EXPECT_GE(queue.in_use(), 60000000u);
  // A largest block fits only if free buffers give way, never waited for:
  // one is remapped to it, the others go back to the system as needed.
  auto big = queue.grant(4, MAX_BLOCK_OUTPUT);
  ASSERT_TRUE(big);
  EXPECT_LE(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  EXPECT_LT(BlockBuffer::allocated_bytes(), before + MAX_BLOCK_OUTPUT);
}

TEST(ParallelQueue, OnlyTheChainIsFinishedAndPassedCandidatesAreDropped) {
  // Three real blocks; a false magic is planted inside each.
  auto planted = test::planted_stream(3, {test::magic_bits(kBlockMagic, 128)}, 4000);
  const MarkerList markers = markers_of(planted.compressed);
  ASSERT_EQ(markers.block_count(), 6u);  // three real, three false
  auto index = build_index(planted.compressed, {1, kDefaultMemoryLimit}).value();
  WorkQueue queue(kDefaultMemoryLimit, 8, planted.compressed, markers);
  std::vector<WorkItem> items;
  while (auto item = queue.acquire()) items.push_back(*item);
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(queue.chain_at().load(), index.blocks[0].compressed_start_bit);
  // The false candidate inside the first block read to some end: it waits
  // until the chain decides, and is dropped once the first block's end is known.
  Verdict false_one{Verdict::Finish};
  Running waiter([&] { false_one = queue.read_done(items[1], items[1].bit_offset + 500, 7); });
  const Verdict first = queue.read_done(items[0], index.blocks[0].compressed_end_bit, 100);
  EXPECT_EQ(first.kind, Verdict::Finish);
  EXPECT_EQ(first.place, 0u);
  waiter.join();
  EXPECT_EQ(false_one.kind, Verdict::Drop);
  EXPECT_EQ(queue.chain_at().load(), index.blocks[1].compressed_start_bit);
  // The third block, and the false one in the second, read before the second:
  // confirmed and dropped when the second's end is known; after the third the
  // stream and the input end, and so does the chain.
  Verdict third{Verdict::Drop}, false_two{Verdict::Finish};
  Running later([&] { third = queue.read_done(items[4], index.blocks[2].compressed_end_bit, 100); });
  Running inside([&] { false_two = queue.read_done(items[3], items[3].bit_offset + 500, 7); });
  settle();
  const Verdict second = queue.read_done(items[2], index.blocks[1].compressed_end_bit, 100);
  later.join();
  inside.join();
  EXPECT_EQ(second.place, 1u);
  EXPECT_EQ(third.kind, Verdict::Finish);
  EXPECT_EQ(third.place, 2u);
  EXPECT_EQ(false_two.kind, Verdict::Drop);
  EXPECT_EQ(queue.chain_at().load(), UINT64_MAX);
  EXPECT_EQ(queue.read_done(items[5], items[5].bit_offset + 300, 7).kind, Verdict::Drop);
  EXPECT_EQ(queue.read_costs(), std::make_pair(std::uint64_t{300}, std::uint64_t{21}));
  // A candidate waiting when the queue is cancelled stops.
  WorkQueue cancelled(kDefaultMemoryLimit, 8, planted.compressed, markers);
  ASSERT_TRUE(cancelled.acquire());
  auto b = cancelled.acquire();
  ASSERT_TRUE(b);
  Verdict stopped{Verdict::Finish};
  Running waiting([&] { stopped = cancelled.read_done(*b, b->bit_offset + 500, 1); });
  cancelled.cancel();
  waiting.join();
  EXPECT_EQ(stopped.kind, Verdict::Stop);
  // A confirmed block whose read failed ends the chain: nothing more is handed out.
  WorkQueue broken(kDefaultMemoryLimit, 8, planted.compressed, markers);
  auto head = broken.acquire();
  broken.read_failed(*head, 50);
  EXPECT_EQ(broken.chain_at().load(), UINT64_MAX);
  EXPECT_FALSE(broken.acquire());
}

TEST(ParallelQueue, DroppedReadsArePaidForByTheChain) {
  // Real blocks with a false magic inside each: once the dropped reads cost
  // more than three times the chain's plus the allowance, only the chain's
  // next block is handed out, until the chain has read enough again.
  auto planted = test::planted_stream(4, {test::magic_bits(kBlockMagic, 128)}, 4000);
  const MarkerList markers = markers_of(planted.compressed);
  auto index = build_index(planted.compressed, {1, kDefaultMemoryLimit}).value();
  WorkQueue queue(kDefaultMemoryLimit, 8, planted.compressed, markers);
  constexpr std::uint64_t kFree = WorkQueue::kSpeculationAllowance;
  auto r0 = queue.acquire(), f0 = queue.acquire();
  ASSERT_TRUE(r0 && f0);
  EXPECT_EQ(f0->bit_offset, planted.planted[0]);
  queue.read_failed(*f0, kFree + 1);  // a false read that cost more than the allowance
  // The next item is the second real block, not confirmed yet: it waits.
  std::optional<WorkItem> r1;
  Running waiter([&] { r1 = queue.acquire(); });
  settle();
  EXPECT_FALSE(waiter.done());
  // Once the first block's read confirms the second, that one is handed out.
  EXPECT_EQ(queue.read_done(*r0, index.blocks[0].compressed_end_bit, 10).kind, Verdict::Finish);
  waiter.join();
  ASSERT_TRUE(r1);
  EXPECT_EQ(r1->bit_offset, index.blocks[1].compressed_start_bit);
  // A chain read worth a third of the waste lets speculation go on.
  EXPECT_EQ(queue.read_done(*r1, index.blocks[1].compressed_end_bit, kFree / 3 + 1).kind, Verdict::Finish);
  auto f2 = queue.acquire();
  ASSERT_TRUE(f2);
  EXPECT_EQ(f2->bit_offset, index.blocks[2].compressed_start_bit);
  auto next = queue.acquire();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->bit_offset, planted.planted[2]);
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

TEST(ParallelCandidatesMap, ParkedResultsReachTheWalkInOrder) {
  auto ends = channel<WorkResult>();
  auto sized = [](std::size_t size) {
    decoder::DecodedCandidate candidate{BlockBuffer(), 0, 0};
    candidate.data.resize(size);
    return candidate;
  };
  const Error parked = Error::decode(77, DecodeError::InvalidHuffman);
  for (std::uint64_t marker : {3, 5, 0, 2, 8}) {
    Result<decoder::DecodedCandidate> result = marker == 5 ? fail(parked) : Result<decoder::DecodedCandidate>(sized(100 * marker));
    ASSERT_FALSE(ends.first.send(WorkResult{marker, std::move(result)}));
  }
  ParallelCandidates candidates = ParallelCandidatesOf::make(std::move(ends.second), nullptr);
  // Taking 2 parks 3 and 5 on the way and drops 0, which is below it.
  auto two = candidates.take(2);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->data.size(), 200u);
  candidates.discard_before(5);  // the chain went past 3
  EXPECT_EQ(candidates.take(5).error(), parked);  // a parked failure reaches the walk unchanged
  EXPECT_EQ(candidates.take(8)->data.size(), 800u);
  // With every sender gone and the result missing, the consumer stops.
  ends.first.close();
  EXPECT_EQ(candidates.take(9).error(), Error::invalid_configuration("parallel decoder stopped early"));
}

TEST(ParallelRoad, HeldOutputFollowsTheWriterNorOutlivesAWriteFailure) {
  const auto& [decoded, compressed] = many_blocks();
  // fail_at: the write that fails (0: none); a failing walk still waits for every busy worker.
  for (auto [threads, limit, fail_at] :
       {std::tuple{8, MAX_BLOCK_OUTPUT, 0}, std::tuple{8, 3 * MAX_BLOCK_OUTPUT, 0},
        std::tuple{32, kDefaultMemoryLimit, 0}, std::tuple{8, kDefaultMemoryLimit, 2}}) {
    SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit << ", failing write " << fail_at);
    Counters counters;
    // Blocks whose output was started and not yet written, seen at every write:
    // at most two per thread past the one being written.
    std::atomic<std::uint64_t> ahead{0};
    struct Watching : Collect {
      Counters& counters;
      std::atomic<std::uint64_t>& ahead;
      std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
        const std::uint64_t now = counters.expands.load() - writes;
        if (now > ahead.load()) ahead.store(now);
        return Collect::write_all(bytes);
      }
    } writer{{}, counters, ahead};
    writer.fail_at = static_cast<std::size_t>(fail_at);
    auto index = run_parallel(compressed, writer, threads, limit, CountingSteps<>{counters});
    EXPECT_EQ(counters.running.load(), 0);
    EXPECT_LE(ahead.load(), 2u * threads + 1);
    if (fail_at != 0) {
      ASSERT_FALSE(index);
      EXPECT_EQ(index.error().display(), "disk full");
      continue;
    }
    ASSERT_TRUE(index) << index.error().display();
    EXPECT_EQ(writer.out, decoded);
    // No false markers in this file: every block read once and finished once.
    EXPECT_EQ(counters.reads.load(), index->blocks.size());
    EXPECT_EQ(counters.finishes.load(), index->blocks.size());
  }
}

TEST(ParallelRoad, ALongRunHeavyFileReusesItsBuffers) {
  // Forty run-heavy blocks of 5.2 MB in one stream: after the first few, every
  // block's output goes into a buffer that was written and came back.
  static const auto zeros = std::vector<std::uint8_t>(40 * 5000000, 0);
  static const auto compressed = test::bzip2_compress(zeros, 1);
  for (std::uint64_t threads : {2, 8}) {
    SCOPED_TRACE(threads);
    const std::uint64_t before = BlockBuffer::storage_obtained();
    Collect writer;
    Counters counters;
    auto index = run_parallel(compressed, writer, threads, kDefaultMemoryLimit, CountingSteps<>{counters});
    ASSERT_TRUE(index) << index.error().display();
    ASSERT_EQ(index->blocks.size(), 40u);
    EXPECT_TRUE(writer.out == zeros);
    EXPECT_LE(BlockBuffer::storage_obtained() - before, 3 * threads + 1);
  }
}

TEST(ParallelRoad, RecycledBuffersGiveTheSameBytesOnEveryRoad) {
  // Run-heavy blocks next to tiny ones and a text stream: buffers move between
  // blocks of very different sizes, under a tight budget and a loose one.
  const auto& [decoded, compressed] = mixed_blocks();
  for (std::uint64_t threads : {1, 2, 8}) {
    for (std::uint64_t limit : {MAX_BLOCK_OUTPUT, 3 * MAX_BLOCK_OUTPUT, kDefaultMemoryLimit}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit);
      Collect writer;
      ASSERT_TRUE(decompress_to_writer(compressed, writer, {threads, limit}));
      EXPECT_TRUE(writer.out == decoded);
      auto index = build_index(compressed, {threads, limit});
      ASSERT_TRUE(index);
      EXPECT_EQ(index->decoded_bytes, decoded.size());
    }
  }
}

TEST(ParallelRoad, BufferMemoryStaysWithinTheLimitWhileTheWriterStalls) {
  // The writer stalls on every block while workers run ahead; the bytes that
  // block buffers hold, seen from the writer and from every finished decode,
  // never pass what the budget allows (plus a page per buffer).
  const auto& compressed = mixed_blocks().second;
  for (std::uint64_t limit : {MAX_BLOCK_OUTPUT, 2 * MAX_BLOCK_OUTPUT}) {
    SCOPED_TRACE(limit);
    const std::uint64_t before = BlockBuffer::allocated_bytes();
    std::atomic<std::uint64_t> most{0};
    const auto look = [&] {
      const std::uint64_t now = BlockBuffer::allocated_bytes() - before;
      for (std::uint64_t seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
    };
    struct StallingWriter {
      const std::function<void()>& look;
      std::expected<void, IoError> write_all(std::span<const std::uint8_t>) {
        look();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        look();
        return {};
      }
      std::expected<void, IoError> flush() { return {}; }
    };
    const std::function<void()> looker = look;
    StallingWriter writer{looker};
    Counters counters;
    auto hold = [&](const WorkItem&) { look(); };
    ASSERT_TRUE(run_parallel(compressed, writer, 4, limit, CountingSteps<decltype(hold)>{counters, hold}));
    EXPECT_GT(most.load(), 5000000u);  // the run-heavy blocks were held
    EXPECT_LE(most.load(), limit + 64 * 4096);
  }
}

TEST(ParallelRoad, WorkerFaultOrFailingBlockEndsTheCallWithoutHanging) {
  const auto& compressed = many_blocks().second;
  auto blocks = build_index(compressed, {1, kDefaultMemoryLimit}).value().blocks;
  // A throwing worker, early and late, under the tightest budget (a lost
  // reservation leaves no room) and the default; a damaged block on the chain
  // gives its own error after everything before it is written.
  enum class Fault { None, Throws, OutOfMemory };
  struct Case { std::size_t block; Fault fault; std::uint64_t threads, limit; };
  const Case cases[] = {{1, Fault::Throws, 4, MAX_BLOCK_OUTPUT},
                        {1, Fault::Throws, 4, kDefaultMemoryLimit},
                        {blocks.size() - 2, Fault::Throws, 4, MAX_BLOCK_OUTPUT},
                        {blocks.size() - 2, Fault::OutOfMemory, 4, kDefaultMemoryLimit},
                        {5, Fault::None, 2, kDefaultMemoryLimit},
                        {5, Fault::None, 8, kDefaultMemoryLimit}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "block " << c.block << ", fault " << static_cast<int>(c.fault) << ", limit "
                                    << c.limit << ", " << c.threads << " threads");
    const auto& victim = blocks[c.block];
    auto data = compressed;
    if (c.fault == Fault::None) data[(victim.compressed_start_bit + victim.compressed_end_bit) / 16] ^= 0x10;
    auto own = decoder::decode_candidate(data, victim.compressed_start_bit, victim.expected_crc);
    ASSERT_EQ(own.has_value(), c.fault != Fault::None);
    Counters counters;
    auto hold = [&](const WorkItem& item) {
      if (item.bit_offset != victim.compressed_start_bit) return;
      if (c.fault == Fault::Throws) throw std::runtime_error("worker fault");
      if (c.fault == Fault::OutOfMemory) throw std::bad_alloc();
    };
    Collect writer;
    CountingSteps<decltype(hold)> steps{counters, hold};
    if (c.fault == Fault::OutOfMemory) {
      // An allocation failure in a worker is reported as what it is, on the calling thread.
      EXPECT_THROW((void)run_parallel(data, writer, c.threads, c.limit, steps), std::bad_alloc);
      continue;
    }
    EXPECT_EQ(run_parallel(data, writer, c.threads, c.limit, steps).error(),
              c.fault == Fault::Throws ? Error::invalid_configuration("parallel decoder worker panicked") : own.error());
    if (c.fault == Fault::Throws) {
      EXPECT_LE(writer.out.size(), victim.decoded_start);
    } else {
      EXPECT_EQ(writer.out.size(), victim.decoded_start);
    }
  }
}

TEST(ParallelRoad, FalseMagicWhoseDecodeFailsIsNeverReported) {
  auto planted = test::planted_stream(2, {test::magic_bits(kBlockMagic, 128)}, 4000);
  ASSERT_EQ(block_candidates(planted.compressed), 4u);
  EXPECT_FALSE(decoder::decode_candidate(planted.compressed, planted.planted[0], 0));
  for (std::uint64_t threads : {1, 2, 8}) {
    Collect writer;
    ASSERT_TRUE(decompress_to_writer(planted.compressed, writer, {threads, MAX_BLOCK_OUTPUT}));
    EXPECT_EQ(writer.out, planted.decoded);
    auto index = build_index(planted.compressed, {threads, kDefaultMemoryLimit});
    ASSERT_TRUE(index);
    EXPECT_EQ(index->blocks.size(), 2u);
  }
}

TEST(ParallelRoad, AValidFileOverTheMarkerCapDecodesSerially) {
  // The length does not depend on how many magics are planted: exactly the cap, and one more.
  const auto magics = [](std::size_t n) {
    return std::vector<test::BitString>(n, test::magic_bits(kBlockMagic, 64));
  };
  const std::size_t length = test::planted_stream(1, magics(0), 40000).compressed.size();
  const std::size_t cap = marker_cap(length);
  for (std::size_t markers : {cap, cap + 1}) {
    SCOPED_TRACE(markers);
    auto planted = test::planted_stream(1, magics(markers - 1), 40000);
    ASSERT_EQ(planted.compressed.size(), length);
    ASSERT_EQ(block_candidates(planted.compressed), markers);
    const auto serial = build_index(planted.compressed, {1, kDefaultMemoryLimit});
    ASSERT_TRUE(serial) << serial.error().display();
    for (std::uint64_t threads : {1, 4}) {
      // Over the cap, the serial decoder builds the same index.
      auto index = build_index(planted.compressed, {threads, kDefaultMemoryLimit});
      ASSERT_TRUE(index) << index.error().display();
      EXPECT_EQ(*index, *serial);
      EXPECT_EQ(index->decoded_bytes, planted.decoded.size());
      Collect writer;
      ASSERT_TRUE(decompress_to_writer(planted.compressed, writer, {threads, kDefaultMemoryLimit}));
      EXPECT_EQ(writer.out, planted.decoded);
    }
  }
}

TEST(ParallelRoad, ForgedBlocksNeverReachTheirExpensiveStages) {
  // Each real block hides a chain of eight valid forged blocks, each ending on
  // the next one's magic and each worth 46.6 MB: every other decoder accepts
  // the file, and a forged block decodes on its own.
  const auto crafted = test::forged_chains(12, 8);
  ASSERT_EQ(crafted.planted.size(), 12u * 8);
  EXPECT_EQ(test::python_bz2_decompress(crafted.compressed), crafted.decoded);
  const std::uint64_t at = crafted.planted[3];
  const auto scanned = format::scan_range(crafted.compressed, at / 8, at / 8 + 1).blocks;
  ASSERT_EQ(scanned.size(), 1u);
  auto alone = decoder::decode_candidate(crafted.compressed, at, scanned[0].crc);
  ASSERT_TRUE(alone) << alone.error().display();
  EXPECT_GT(alone->data.size(), 46000000u);
  EXPECT_EQ(alone->end_bit, crafted.planted[4]);
  for (std::uint64_t threads : {2, 8}) {
    for (std::uint64_t limit : {MAX_BLOCK_OUTPUT, kDefaultMemoryLimit}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit);
      Counters counters;
      Collect writer;
      auto index = run_parallel(crafted.compressed, writer, threads, limit, CountingSteps<>{counters});
      ASSERT_TRUE(index) << index.error().display();
      EXPECT_EQ(writer.out, crafted.decoded);
      // Only the real blocks are finished; the forged ones are at most read.
      EXPECT_EQ(counters.finishes.load(), crafted.real.size());
      EXPECT_LE(counters.reads.load(), crafted.real.size() + crafted.planted.size());
    }
  }
}

TEST(ParallelRoad, ReadsOfPassedCandidatesStopWhenTheChainPassesThem) {
  // False magics every 128 bits inside three real blocks; each false read is
  // held until the chain has passed it, as a slow forged one would be: then
  // it gives up at once, and no later false candidate below the chain starts.
  auto planted = test::planted_stream(3, std::vector<test::BitString>(300, test::magic_bits(kBlockMagic, 128)),
                                      300 * 128 + 200);
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
  auto hold = [&](const WorkItem& item) {
    if (real.contains(item.bit_offset)) return;
    std::unique_lock lock(mutex);
    moved.wait(lock, [&] { return passed_bits > item.bit_offset; });
  };
  constexpr std::uint64_t kThreads = 8;
  Counters counters;
  Collect writer;
  auto index = run_parallel(planted.compressed, writer, kThreads, kDefaultMemoryLimit,
                            CountingSteps<decltype(hold)>{counters, hold}, progress);
  ASSERT_TRUE(index) << index.error().display();
  EXPECT_EQ(writer.out, planted.decoded);
  // While the chain stands at a real block each worker can have started at
  // most one false candidate inside it; once past, none below it is handed out.
  const std::uint64_t bound = planted.real.size() * (kThreads + 1);
  EXPECT_LE(counters.reads.load(), bound);
  EXPECT_EQ(counters.finishes.load(), planted.real.size());
}

TEST(ParallelRoad, FalseHeadersSharingABlocksSymbolsArePaidForByTheChain) {
  // Each real block begins with nine false headers written in its own code
  // words: every false candidate reads the rest of the block again. Reads
  // that are dropped may cost at most three times the chain's own, plus the
  // allowance and one read per worker still running when speculation pauses.
  const auto nested = test::nested_headers({.blocks = 32}, 60000, 9);
  ASSERT_EQ(nested.planted.size(), 32u * 9);
  const std::set<std::uint64_t> real(nested.real.begin(), nested.real.end());
  struct CostSteps final : WorkSteps {
    const std::set<std::uint64_t>& real;
    mutable std::atomic<std::uint64_t> chain{0}, dropped{0}, most{0};
    explicit CostSteps(const std::set<std::uint64_t>& real) : real(real) {}
    Result<std::optional<decoder::BlockShape>> read(std::span<const std::uint8_t> data, const WorkItem& item,
                                                    decoder::Decoder& decoder,
                                                    const decoder::Wanted& wanted) const override {
      auto shape = WorkSteps::read(data, item, decoder, wanted);
      const std::uint64_t cost = decoder.read_cost();
      (real.contains(item.bit_offset) ? chain : dropped).fetch_add(cost);
      for (std::uint64_t seen = most.load(); cost > seen && !most.compare_exchange_weak(seen, cost);) {
      }
      return shape;
    }
  };
  constexpr std::uint64_t kThreads = 8;
  CostSteps steps(real);
  Collect writer;
  auto index = run_parallel(nested.compressed, writer, kThreads, kDefaultMemoryLimit, steps);
  ASSERT_TRUE(index) << index.error().display();
  EXPECT_EQ(writer.out, nested.decoded);
  // The false reads did run (left free they cost over four times the chain's
  // here), and within the bound; the queue's own test pins the pause.
  EXPECT_GT(steps.dropped.load(), steps.chain.load());
  EXPECT_LE(steps.dropped.load(),
            3 * steps.chain.load() + WorkQueue::kSpeculationAllowance + kThreads * steps.most.load());
}
