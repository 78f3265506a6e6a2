// Speculative parallel decoding: every block marker, true or false, is read
// on the pool in ascending bit order under the memory budget; the candidates
// on the chain of real blocks are finished and sent to the calling thread,
// which walks the chain and pulls each block's result the moment it needs it.
// Results of markers the chain passes over are dropped without a word,
// failed or not.
//
// What speculation can cost: a candidate's expensive stages (inverse
// transform, final run-length stage, CRC) run only once the chain has
// reached it, so they cost what the serial road pays, plus at most the blocks
// that the chain goes on with while the walk meets its first failure. A
// candidate's read runs only while the chain has not passed its start.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "morvane/concurrency/channel.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decode/parked_results.hpp"
#include "morvane/decode/work_queue.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/error.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

// One finished decode on its way from a worker to the consumer.
struct WorkResult {
  std::uint64_t marker;
  Result<decoder::DecodedCandidate> result;
};

// The two steps of a worker's decode. A test may put steps of its own in
// their place (to count, to hold or to fail decodes); the product pays nothing.
struct DecodeSteps {
  // Reads the candidate; nothing once `wanted` gives it up.
  Result<std::optional<decoder::BlockShape>> read(std::span<const std::uint8_t> data, const WorkItem& item,
                                                  decoder::Decoder& decoder, const decoder::Wanted& wanted) const {
    return decoder::read_candidate(data, item.bit_offset, item.crc, decoder, wanted);
  }
  // Finishes the candidate read last into `out`.
  Result<void> finish(decoder::Decoder& decoder, decoder::BlockBuffer& out) const { return decoder.finish(out); }
};

// The second step of a job whose candidate is on the chain: finishes it into
// the job's buffer, which then travels with the result.
template <class Steps>
Result<decoder::DecodedCandidate> finish_job(const Steps& steps, decoder::Decoder& decoder, WorkQueue& queue,
                                             Job& job, const decoder::BlockShape& shape) {
  queue.lend_buffer(job.buffer);
  if (auto finished = steps.finish(decoder, job.buffer); !finished) {
    queue.end_job(std::move(job.buffer));
    return fail(std::move(finished.error()));
  }
  queue.settle(job.buffer);
  return decoder::DecodedCandidate{std::move(job.buffer), shape.end_bit, shape.symbols};
}

// Runs on one pool thread: takes items from the queue until none is left, the
// queue is cancelled or the consumer is gone, decoding each with no lock held.
template <class Steps = DecodeSteps>
void worker_loop(std::span<const std::uint8_t> data, std::span<const WorkItem> items, WorkQueue& queue,
                 const concurrency::Sender<WorkResult>& sender, const Steps& steps = {}) {
  // One decoder per worker, its working memory mapped once per call at most.
  decoder::LentDecoder decoder;
  while (std::optional<Job> job = queue.acquire()) {
    const WorkItem& item = items[job->position];
    auto shape = steps.read(data, item, *decoder, decoder::Wanted{&queue.chain_at(), item.bit_offset});
    // A refused send means the consumer is gone; the message handed back is
    // dropped here, and its buffer with it.
    if (!shape) {
      // A candidate that fails may still be on the chain: its error is sent.
      queue.end_job(std::move(job->buffer));
      if (sender.send(WorkResult{item.marker, fail(std::move(shape.error()))})) return;
      continue;
    }
    // Given up, passed over or cancelled: nobody will ask for it.
    const Verdict verdict = *shape ? queue.read_done(job->position, (*shape)->end_bit) : Verdict::Drop;
    if (verdict != Verdict::Finish) {
      queue.end_job(std::move(job->buffer));
      if (verdict == Verdict::Stop) return;
      continue;
    }
    if (sender.send(WorkResult{item.marker, finish_job(steps, *decoder, queue, *job, **shape)})) return;
  }
}

// The consumer's side of the parallel road, used only on the calling thread.
class ParallelCandidates {
 public:
  explicit ParallelCandidates(concurrency::Receiver<WorkResult> receiver) : receiver_(std::move(receiver)) {}
  ParallelCandidates(ParallelCandidates&&) noexcept = default;
  ParallelCandidates& operator=(ParallelCandidates&&) = delete;
  // The receiving end goes first, so every later send fails and the queued
  // messages are freed; then the parked results.
  ~ParallelCandidates() {
    receiver_.close();
    completed_.clear();
  }

  // The result of the block marker `marker`, waiting for it if need be.
  Result<decoder::DecodedCandidate> take(std::uint64_t marker);
  // No result below `marker` will be asked for again: drops the parked ones.
  void discard_before(std::uint64_t marker) { completed_.drop_below(marker); }

 private:
  concurrency::Receiver<WorkResult> receiver_;
  ParkedResults completed_;
};

inline constexpr const char* kWorkerPanicked = "parallel decoder worker panicked";

// How many buffers the free list keeps: enough for every worker to adopt one
// while the consumer hands back the ones it has written.
inline std::size_t free_buffer_count(std::size_t threads) { return 2 * threads + 4; }

// The parallel road: builds the work items, the queue and the result channel,
// runs worker_loop once on every pool thread from a broadcast thread, walks
// the chain with a ParallelCandidates, then tears down in order: the
// candidates (receiver first), cancel, join. A worker that ran out of memory
// makes the call fail with std::bad_alloc on the calling thread; any other
// fault that escaped a worker replaces the walk's result with
// InvalidConfiguration "parallel decoder worker panicked".
template <Walk kWalk = Walk::kIndex, class Steps = DecodeSteps, Writer W, Progress P>
WalkResult<kWalk> parallel_road(std::span<const std::uint8_t> data, W& writer, std::span<const Marker> markers,
                                const concurrency::ThreadPool& pool, std::uint64_t memory_limit, P&& progress,
                                const Steps& steps = {}) {
  const std::vector<WorkItem> items = work_items(markers);
  WorkQueue queue(memory_limit, items, data, markers, free_buffer_count(pool.size()));
  auto ends = concurrency::channel<WorkResult>();
  // Written by the broadcast thread, read after the join.
  std::exception_ptr worker_fault;
  bool broadcast_failed = false;

  std::thread broadcaster;
  try {
    broadcaster = std::thread([&, sender = std::move(ends.first)]() mutable {
      // This thread keeps the only sending end; the channel closes when it
      // goes, that is exactly when every worker has returned.
      const concurrency::Sender<WorkResult> own = std::move(sender);
      std::mutex fault_mutex;
      try {
        const bool clean = pool.broadcast([&](std::size_t) {
          try {
            worker_loop(data, items, queue, own, steps);
          } catch (...) {
            // A worker that faults keeps its reservation and never sends its
            // result; cancelling releases every other worker (and so the
            // consumer, through the closing channel) instead of leaving them
            // waiting for budget or a confirmation that never comes.
            queue.cancel();
            std::lock_guard lock(fault_mutex);
            if (!worker_fault) worker_fault = std::current_exception();
            throw;
          }
        });
        broadcast_failed = !clean && !worker_fault;
      } catch (...) {
        // The broadcast itself failed (it could not set the job up): as bad
        // as a fault, and reported the same way.
        broadcast_failed = true;
      }
      if (broadcast_failed || worker_fault) queue.cancel();
    });
  } catch (const std::system_error& error) {
    return fail(concurrency::thread_start_error(error));
  }

  struct JoinOnExit {
    WorkQueue& queue;
    std::thread& thread;
    ~JoinOnExit() {
      queue.cancel();
      thread.join();
    }
  };
  std::optional<WalkResult<kWalk>> walked;
  {
    // On every way out, an exception from the writer included: the
    // candidates go first (they die with the call), then cancel and join.
    JoinOnExit join{queue, broadcaster};
    walked.emplace(assemble<kWalk>(data, writer, markers, ParallelCandidates(std::move(ends.second)), progress));
  }
  if (worker_fault) {
    try {
      std::rethrow_exception(worker_fault);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
    }
  }
  if (worker_fault || broadcast_failed) return fail(Error::invalid_configuration(kWorkerPanicked));
  return std::move(*walked);
}

}  // namespace morvane::decode
