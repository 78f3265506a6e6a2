// The parallel road: the queue's budget, free list and confirmations, the
// channel, the consumer's reorder map, and whole decodes through decode steps
// that count, hold or fault, on ordinary, run-heavy and crafted input.
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
#include "morvane/format/parallel_scan.hpp"
#include "support/block_builder.hpp"
#include "support/bz2_tools.hpp"
#include "support/crafted.hpp"

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

// Shared counters of the decode steps: reads and finishes, steps running now
// and the most at once.
struct Counters {
  std::atomic<std::uint64_t> reads{0}, finishes{0};
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
  Result<void> finish(decoder::Decoder& decoder, BlockBuffer& out) const override {
    counters.finishes.fetch_add(1);
    counters.enter();
    auto finished = WorkSteps::finish(decoder, out);
    counters.running.fetch_sub(1);
    return finished;
  }
};

// The scanning road up to the parallel one, with decode steps of the test's own.
template <class Steps, class W, class P = NoProgress>
Result<index::Index> run_parallel(std::span<const std::uint8_t> data, W& writer, std::uint64_t threads,
                                  std::uint64_t limit, const Steps& steps, P&& progress = {}) {
  auto pool = thread_pool(threads).value();
  auto markers = collect_markers(format::scan_with_pool(data, pool.get()).value(), data.size());
  if (!markers) return fail(markers.error());
  return parallel_road<Walk::kIndex>(data, writer, *markers, *pool, limit, progress, &steps);
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
std::vector<Marker> block_markers(std::size_t n) {
  std::vector<Marker> markers;
  for (std::size_t i = 0; i < n; ++i) markers.emplace_back(format::BlockCandidate{32 + 100 * i, 0, 0, false});
  return markers;
}

}  // namespace

TEST(ParallelQueue, BudgetCountsReservationsResultsAndFreeBuffers) {
  const auto markers = block_markers(5);
  const auto items = work_items(markers);
  WorkQueue queue(3 * MAX_BLOCK_OUTPUT, items, kHeader, markers, 4);
  auto first = queue.acquire(), second = queue.acquire();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->position, 0u);
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  // A finished decode is counted at its buffer's capacity while its result lives.
  first->buffer.resize(1000);
  queue.settle(first->buffer);
  EXPECT_EQ(queue.in_use(), MAX_BLOCK_OUTPUT + 1000);
  auto third = queue.acquire();
  ASSERT_TRUE(third);
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT + 1000);
  // No room for a fourth until something ends; a failed decode gives its reservation back.
  std::optional<Job> fourth;
  std::thread waiter([&] { fourth = queue.acquire(); });
  queue.end_job(std::move(second->buffer));
  waiter.join();
  ASSERT_TRUE(fourth);
  EXPECT_EQ(fourth->position, 3u);
  // A written result's buffer goes to the free list, still counted; the next decode adopts it.
  { BlockBuffer gone = std::move(first->buffer); }
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT + 1000);
  queue.end_job(std::move(third->buffer));
  auto fifth = queue.acquire();
  ASSERT_TRUE(fifth);
  EXPECT_EQ(fifth->buffer.capacity(), 1000u);
  EXPECT_EQ(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  EXPECT_FALSE(queue.acquire());  // every item is out
  // A worker waiting for budget leaves when the queue is cancelled.
  WorkQueue full(MAX_BLOCK_OUTPUT, items, kHeader, markers, 4);
  auto only = full.acquire();
  std::optional<Job> left = Job{};
  std::thread blocked([&] { left = full.acquire(); });
  full.cancel();
  blocked.join();
  EXPECT_FALSE(left);
}

TEST(ParallelQueue, FreeBuffersGiveWayToANewDecode) {
  const auto markers = block_markers(6);
  const auto items = work_items(markers);
  WorkQueue queue(2 * MAX_BLOCK_OUTPUT, items, kHeader, markers, 4);
  // Four 15 MB results, written and recycled: the free list holds them, still counted.
  std::vector<BlockBuffer> results;
  for (int i = 0; i < 4; ++i) {
    auto job = queue.acquire();
    ASSERT_TRUE(job);
    job->buffer.resize(15000000);
    queue.settle(job->buffer);
    results.push_back(std::move(job->buffer));
  }
  results.clear();
  const std::uint64_t before = BlockBuffer::allocated_bytes();
  EXPECT_GE(queue.in_use(), 60000000u);
  // Two decodes fit only if free buffers are adopted or freed, never waited for.
  auto a = queue.acquire(), b = queue.acquire();
  ASSERT_TRUE(a && b);
  EXPECT_LE(queue.in_use(), 2 * MAX_BLOCK_OUTPUT);
  EXPECT_GT(a->buffer.capacity(), 0u);
  EXPECT_GT(b->buffer.capacity(), 0u);
  EXPECT_EQ(BlockBuffer::allocated_bytes(), before - 2 * a->buffer.capacity());  // two went back to the system
}

TEST(ParallelQueue, OnlyTheChainIsFinishedAndPassedCandidatesAreDropped) {
  // Three real blocks; a false magic is planted inside the first.
  auto planted = test::planted_stream(3, {test::magic_bits(kBlockMagic, 128)}, 4000);
  auto markers = collect_markers(format::scan_range(planted.compressed, 0, planted.compressed.size()),
                                 planted.compressed.size())
                     .value();
  const auto items = work_items(markers);
  ASSERT_EQ(items.size(), 6u);  // three real, three false
  auto index = build_index(planted.compressed, {1, kDefaultMemoryLimit}).value();
  WorkQueue queue(kDefaultMemoryLimit, items, planted.compressed, markers, 4);
  std::vector<Job> jobs;
  while (auto job = queue.acquire()) jobs.push_back(std::move(*job));
  ASSERT_EQ(jobs.size(), 6u);
  EXPECT_EQ(queue.chain_at().load(), index.blocks[0].compressed_start_bit);
  // The false candidate inside the first block read to some end: it waits
  // until the chain decides, and is dropped once the first block's end is known.
  Verdict false_one = Verdict::Finish;
  std::thread waiter([&] { false_one = queue.read_done(1, items[1].bit_offset + 500); });
  EXPECT_EQ(queue.read_done(0, index.blocks[0].compressed_end_bit), Verdict::Finish);
  waiter.join();
  EXPECT_EQ(false_one, Verdict::Drop);
  EXPECT_EQ(queue.chain_at().load(), index.blocks[1].compressed_start_bit);
  // The third block, and the false one in the second, read before the second:
  // confirmed and dropped when the second's end is known; after the third the
  // stream and the input end, and so does the chain.
  Verdict third = Verdict::Drop, false_two = Verdict::Finish;
  std::thread later([&] { third = queue.read_done(4, index.blocks[2].compressed_end_bit); });
  std::thread inside([&] { false_two = queue.read_done(3, items[3].bit_offset + 500); });
  EXPECT_EQ(queue.read_done(2, index.blocks[1].compressed_end_bit), Verdict::Finish);
  later.join();
  inside.join();
  EXPECT_EQ(third, Verdict::Finish);
  EXPECT_EQ(false_two, Verdict::Drop);
  EXPECT_EQ(queue.chain_at().load(), UINT64_MAX);
  EXPECT_EQ(queue.read_done(5, items[5].bit_offset + 300), Verdict::Drop);
  for (auto& job : jobs) queue.end_job(std::move(job.buffer));
  // A candidate waiting when the queue is cancelled stops.
  WorkQueue cancelled(kDefaultMemoryLimit, items, planted.compressed, markers, 4);
  Verdict stopped = Verdict::Finish;
  std::thread waiting([&] { stopped = cancelled.read_done(1, items[1].bit_offset + 500); });
  cancelled.cancel();
  waiting.join();
  EXPECT_EQ(stopped, Verdict::Stop);
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
  ParallelCandidates candidates = ParallelCandidatesOf::make(std::move(ends.second));
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

TEST(ParallelRoad, RunningDecodesNeverExceedTheBudgetNorOutliveAWriteFailure) {
  const auto& [decoded, compressed] = many_blocks();
  // fail_at: the write that fails (0: none); a failing walk still waits for every busy worker.
  for (auto [threads, limit, most, fail_at] :
       {std::tuple{8, MAX_BLOCK_OUTPUT, 1, 0}, std::tuple{8, 3 * MAX_BLOCK_OUTPUT, 3, 0},
        std::tuple{32, kDefaultMemoryLimit, 23, 0}, std::tuple{8, kDefaultMemoryLimit, 23, 2}}) {
    SCOPED_TRACE(testing::Message() << threads << " threads, limit " << limit << ", failing write " << fail_at);
    Counters counters;
    Collect writer;
    writer.fail_at = static_cast<std::size_t>(fail_at);
    auto index = run_parallel(compressed, writer, threads, limit, CountingSteps<>{counters});
    EXPECT_LE(counters.peak.load(), most);
    EXPECT_EQ(counters.running.load(), 0);
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

TEST(ParallelRoad, MarkerCapOnAValidFile) {
  // The length does not depend on how many magics are planted: exactly the cap, and one more.
  const auto magics = [](std::size_t n) {
    return std::vector<test::BitString>(n, test::magic_bits(kBlockMagic, 64));
  };
  const std::size_t length = test::planted_stream(1, magics(0), 40000).compressed.size();
  const std::size_t cap = (length >> 4) + 64;
  for (std::size_t markers : {cap, cap + 1}) {
    auto planted = test::planted_stream(1, magics(markers - 1), 40000);
    ASSERT_EQ(planted.compressed.size(), length);
    ASSERT_EQ(block_candidates(planted.compressed), markers);
    for (std::uint64_t threads : {1, 4}) {
      auto index = build_index(planted.compressed, {threads, kDefaultMemoryLimit});
      if (markers == cap) {
        ASSERT_TRUE(index) << index.error().display();
        EXPECT_EQ(index->decoded_bytes, planted.decoded.size());
      } else {
        EXPECT_EQ(index.error(), Error::invalid_configuration("input contains too many speculative markers"));
      }
    }
    Collect writer;  // the serial decompression road knows no markers
    EXPECT_TRUE(decompress_to_writer(planted.compressed, writer, {1, kDefaultMemoryLimit}));
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
