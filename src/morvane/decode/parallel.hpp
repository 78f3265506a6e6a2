// Speculative parallel decoding: every block marker, true or false, is decoded
// on the pool in ascending bit order under the memory budget, while the
// calling thread walks the real chain and pulls each block's result the
// moment it needs it. Results of markers the chain passes over are dropped
// without a word, failed or not.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "morvane/decode/assemble.hpp"
#include "morvane/decode/channel.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decode/parked_results.hpp"
#include "morvane/decode/thread_pool.hpp"
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

// The decode step of a worker: decode_candidate. A test may put a step of its
// own in its place (to count or to fail decodes); the product pays nothing.
struct DecodeCandidate {
  Result<decoder::DecodedCandidate> operator()(std::span<const std::uint8_t> data, std::uint64_t bit_offset,
                                               std::uint32_t crc) const {
    // Pool threads live for one call, so this Decoder is released with its
    // thread at the end of the call.
    thread_local decoder::Decoder decoder;
    return decoder::decode_candidate(data, bit_offset, crc, decoder);
  }
};

// Runs on one pool thread: takes items from the queue until none is left, the
// queue is cancelled or the consumer is gone, decoding each with no lock held.
template <class Step = DecodeCandidate>
void worker_loop(std::span<const std::uint8_t> data, std::span<const WorkItem> items, WorkQueue& queue,
                 const Sender<WorkResult>& sender, const Step& step = {}) {
  while (auto position = queue.acquire()) {
    const WorkItem& item = items[*position];
    Result<decoder::DecodedCandidate> result = step(data, item.bit_offset, item.crc);
    const std::uint64_t size = result_size(result);
    queue.settle(size);
    if (sender.send(WorkResult{item.marker, std::move(result)})) {
      // The consumer is gone: the returned message is dropped here.
      queue.retire(size);
      return;
    }
  }
}

// The consumer's side of the parallel road, used only on the calling thread.
class ParallelCandidates {
 public:
  ParallelCandidates(Receiver<WorkResult> receiver, WorkQueue& queue, std::span<const WorkItem> items)
      : receiver_(std::move(receiver)), queue_(&queue), items_(items) {}
  ParallelCandidates(ParallelCandidates&&) noexcept = default;
  ParallelCandidates& operator=(ParallelCandidates&&) = delete;
  // The receiving end goes first, so every later send fails and the queued
  // messages are freed; then the parked results (their bytes are not given
  // back: the queue is cancelled next).
  ~ParallelCandidates() {
    receiver_.close();
    completed_.clear();
  }

  // The result of the block marker `marker`, waiting for it if need be.
  Result<decoder::DecodedCandidate> take(std::uint64_t marker);
  // No result below `marker` will be asked for again: drops the parked ones,
  // giving their bytes back, and keeps workers from starting on any of them.
  void discard_before(std::uint64_t marker);

 private:
  Receiver<WorkResult> receiver_;
  ParkedResults completed_;
  WorkQueue* queue_;
  std::span<const WorkItem> items_;
};

inline constexpr const char* kWorkerPanicked = "parallel decoder worker panicked";

// The parallel road: builds the work items, the queue and the result channel,
// runs worker_loop once on every pool thread from a broadcast thread, walks
// the chain with a ParallelCandidates, then tears down in order: the
// candidates (receiver first), cancel, join. A fault that escaped a worker
// replaces the walk's result with InvalidConfiguration
// "parallel decoder worker panicked".
template <Walk kWalk = Walk::kIndex, class Step = DecodeCandidate, Writer W, Progress P>
WalkResult<kWalk> parallel_road(std::span<const std::uint8_t> data, W& writer, std::span<const Marker> markers,
                                const ThreadPool& pool, std::uint64_t memory_limit, P&& progress,
                                const Step& step = {}) {
  const std::vector<WorkItem> items = work_items(markers);
  WorkQueue queue(memory_limit, items.size());
  auto ends = channel<WorkResult>();
  bool worker_faulted = false;  // written by the broadcast thread, read after the join

  std::thread broadcaster;
  try {
    broadcaster = std::thread([&, sender = std::move(ends.first)]() mutable {
      // This thread keeps the only sending end; the channel closes when it
      // goes, that is exactly when every worker has returned.
      const Sender<WorkResult> own = std::move(sender);
      bool clean = false;
      try {
        clean = pool.broadcast([&](std::size_t) {
          try {
            worker_loop(data, items, queue, own, step);
          } catch (...) {
            // A worker that faults keeps its reservation and never sends its
            // result; cancelling releases every other worker (and so the
            // consumer, through the closing channel) instead of leaving them
            // waiting for budget that never comes back.
            queue.cancel();
            throw;
          }
        });
      } catch (...) {
        // The broadcast itself failed (it could not set the job up): as bad
        // as a fault, and reported the same way.
      }
      if (!clean) {
        queue.cancel();
        worker_faulted = true;
      }
    });
  } catch (const std::system_error& error) {
    return fail(Error::invalid_configuration(error.code().message()));
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
    walked.emplace(assemble<kWalk>(data, writer, markers, ParallelCandidates(std::move(ends.second), queue, items),
                                   progress));
  }
  if (worker_faulted) return fail(Error::invalid_configuration(kWorkerPanicked));
  return std::move(*walked);
}

}  // namespace morvane::decode
