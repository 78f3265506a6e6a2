#include "morvane/decode/parallel.hpp"

#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "morvane/concurrency/channel.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/decode/parked_results.hpp"
#include "morvane/decode/work_queue.hpp"
#include "morvane/decode/workers.hpp"

namespace morvane::decode {
namespace {

// How many buffers the free list keeps: enough for every worker to adopt one
// while the consumer hands back the ones it has written.
std::size_t free_buffer_count(std::size_t threads) { return 2 * threads + 4; }

Result<std::optional<decoder::BlockShape>> read_step(const WorkSteps* steps, std::span<const std::uint8_t> data,
                                                     const WorkItem& item, decoder::Decoder& decoder,
                                                     const decoder::Wanted& wanted) {
  if (steps != nullptr) return steps->read(data, item, decoder, wanted);
  return decoder::read_candidate(data, item.bit_offset, item.crc, decoder, wanted);
}

// The second step of a job whose candidate is on the chain: finishes it into
// the job's buffer, which then travels with the result.
Result<decoder::DecodedCandidate> finish_job(const WorkSteps* steps, decoder::Decoder& decoder, WorkQueue& queue,
                                             Job& job, const decoder::BlockShape& shape) {
  queue.lend_buffer(job.buffer);
  auto finished = steps != nullptr ? steps->finish(decoder, job.buffer) : decoder.finish(job.buffer);
  if (!finished) {
    queue.end_job(std::move(job.buffer));
    return fail(std::move(finished.error()));
  }
  queue.settle(job.buffer);
  return decoder::DecodedCandidate{std::move(job.buffer), shape.end_bit, shape.symbols};
}

}  // namespace

void worker_loop(std::span<const std::uint8_t> data, std::span<const WorkItem> items, WorkQueue& queue,
                 const concurrency::Sender<WorkResult>& sender, const WorkSteps* steps) {
  // One decoder per worker, its working memory mapped once per call at most.
  decoder::LentDecoder decoder;
  while (std::optional<Job> job = queue.acquire()) {
    const WorkItem& item = items[job->position];
    auto shape = read_step(steps, data, item, *decoder, decoder::Wanted{&queue.chain_at(), item.bit_offset});
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

struct ParallelCandidates::State {
  concurrency::Receiver<WorkResult> receiver;
  ParkedResults completed;
};

ParallelCandidates::ParallelCandidates(std::unique_ptr<State> state) : state_(std::move(state)) {}

ParallelCandidates ParallelCandidatesOf::make(concurrency::Receiver<WorkResult> receiver) {
  return ParallelCandidates(std::make_unique<ParallelCandidates::State>(
      ParallelCandidates::State{std::move(receiver), ParkedResults()}));
}
ParallelCandidates::ParallelCandidates(ParallelCandidates&&) noexcept = default;

ParallelCandidates::~ParallelCandidates() {
  if (!state_) return;
  state_->receiver.close();
  state_->completed.clear();
}

Result<decoder::DecodedCandidate> ParallelCandidates::take(std::uint64_t marker) {
  // The chain asks in increasing order, so nothing below `marker` is wanted
  // any more. Dropping it here as well matters after an end-of-stream marker:
  // results parked between it and the next stream's first block would
  // otherwise hold budget that the next block may need to be started at all.
  discard_before(marker);
  if (auto parked = state_->completed.remove(marker)) return std::move(*parked);
  for (;;) {
    auto message = state_->receiver.receive();
    if (!message) return fail(Error::invalid_configuration("parallel decoder stopped early"));
    if (message->marker == marker) return std::move(message->result);
    // A result below the wanted one is dropped here, its buffer going back to the queue.
    if (message->marker > marker) state_->completed.park(message->marker, std::move(message->result));
  }
}

void ParallelCandidates::discard_before(std::uint64_t marker) { state_->completed.drop_below(marker); }

struct ParallelDecode::State {
  State(std::span<const std::uint8_t> data, std::span<const Marker> markers, const concurrency::ThreadPool& pool,
        std::uint64_t memory_limit, const WorkSteps* steps)
      : data(data),
        items(work_items(markers)),
        queue(memory_limit, items, data, markers, free_buffer_count(pool.size())),
        pool(pool),
        steps(steps) {}

  // Runs worker_loop once on every pool thread and waits for all of them.
  // This thread keeps the only sending end; the channel closes when it goes,
  // that is exactly when every worker has returned.
  void broadcast(concurrency::Sender<WorkResult> sender) {
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
      // The broadcast itself failed (it could not set the job up): as bad as
      // a fault, and reported the same way.
      broadcast_failed = true;
    }
    if (broadcast_failed || worker_fault) queue.cancel();
  }

  void join() {
    queue.cancel();
    if (broadcaster.joinable()) broadcaster.join();
  }

  std::span<const std::uint8_t> data;
  const std::vector<WorkItem> items;
  WorkQueue queue;
  const concurrency::ThreadPool& pool;
  const WorkSteps* steps;
  std::optional<concurrency::Receiver<WorkResult>> receiver;
  std::thread broadcaster;
  // Written by the broadcast thread, read after the join.
  std::exception_ptr worker_fault;
  bool broadcast_failed = false;
};

ParallelDecode::ParallelDecode(std::unique_ptr<State> state) : state_(std::move(state)) {}
ParallelDecode::ParallelDecode(ParallelDecode&&) noexcept = default;

ParallelDecode::~ParallelDecode() {
  if (state_) state_->join();
}

Result<ParallelDecode> ParallelDecode::start(std::span<const std::uint8_t> data, std::span<const Marker> markers,
                                             const concurrency::ThreadPool& pool, std::uint64_t memory_limit,
                                             const WorkSteps* steps) {
  auto state = std::make_unique<State>(data, markers, pool, memory_limit, steps);
  auto ends = concurrency::channel<WorkResult>();
  state->receiver.emplace(std::move(ends.second));
  try {
    State* run = state.get();
    state->broadcaster = std::thread([run, sender = std::move(ends.first)]() mutable { run->broadcast(std::move(sender)); });
  } catch (const std::system_error& error) {
    return fail(concurrency::thread_start_error(error));
  }
  return ParallelDecode(std::move(state));
}

ParallelCandidates ParallelDecode::candidates() {
  ParallelCandidates consumer = ParallelCandidatesOf::make(std::move(*state_->receiver));
  state_->receiver.reset();
  return consumer;
}

Result<void> ParallelDecode::stop() {
  state_->join();
  if (state_->worker_fault) {
    try {
      std::rethrow_exception(state_->worker_fault);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
    }
  }
  if (state_->worker_fault || state_->broadcast_failed) return fail(Error::invalid_configuration(kWorkerPanicked));
  return {};
}

}  // namespace morvane::decode
