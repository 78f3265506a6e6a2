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

Result<std::optional<decoder::BlockShape>> read_step(const WorkSteps* steps, std::span<const std::uint8_t> data,
                                                     const WorkItem& item, decoder::Decoder& decoder,
                                                     const decoder::Wanted& wanted) {
  if (steps != nullptr) return steps->read(data, item, decoder, wanted);
  return decoder::read_candidate(data, item.bit_offset, item.crc, decoder, wanted);
}

// The rest of a block on the chain: inverted in the working memory, then
// written into the buffer the queue grants once its output is wanted soon.
// Nothing when the queue was cancelled meanwhile.
std::optional<Result<decoder::DecodedCandidate>> finish_block(const WorkSteps* steps, decoder::Decoder& decoder,
                                                              WorkQueue& queue, std::uint64_t place,
                                                              const decoder::BlockShape& shape) {
  auto length = steps != nullptr ? steps->invert(decoder) : decoder.invert();
  if (!length) {
    queue.skip(place);
    return fail(std::move(length.error()));
  }
  std::optional<decoder::BlockBuffer> buffer = queue.grant(place, *length);
  if (!buffer) return std::nullopt;
  // A failed CRC drops the buffer here, back to the queue.
  auto expanded = steps != nullptr ? steps->expand(decoder, *buffer) : decoder.expand(*buffer);
  if (!expanded) return fail(std::move(expanded.error()));
  return decoder::DecodedCandidate{std::move(*buffer), shape.end_bit, shape.symbols};
}

}  // namespace

void worker_loop(std::span<const std::uint8_t> data, WorkQueue& queue, const concurrency::Sender<WorkResult>& sender,
                 const WorkSteps* steps) {
  // One decoder per worker, its working memory mapped once per call at most.
  decoder::LentDecoder decoder;
  while (std::optional<WorkItem> item = queue.acquire()) {
    auto shape = read_step(steps, data, *item, *decoder, decoder::Wanted{&queue.chain_at(), item->bit_offset});
    const std::uint64_t cost = decoder->read_cost();
    // A refused send means the consumer is gone; the message handed back is
    // dropped here, and its buffer with it.
    if (!shape || !*shape) {
      queue.read_failed(*item, cost);
      // A candidate that fails may be on the chain: its error is sent. One
      // that gave up is not.
      if (!shape && sender.send(WorkResult{item->marker, fail(std::move(shape.error()))})) return;
      continue;
    }
    const Verdict verdict = queue.read_done(*item, (*shape)->end_bit, cost);
    if (verdict.kind == Verdict::Stop) return;
    if (verdict.kind == Verdict::Drop) continue;
    auto finished = finish_block(steps, *decoder, queue, verdict.place, **shape);
    if (!finished) return;
    if (sender.send(WorkResult{item->marker, std::move(*finished)})) return;
  }
}

struct ParallelCandidates::State {
  concurrency::Receiver<WorkResult> receiver;
  ParkedResults completed;
  WorkQueue* queue;
};

ParallelCandidates::ParallelCandidates(std::unique_ptr<State> state) : state_(std::move(state)) {}

ParallelCandidates ParallelCandidatesOf::make(concurrency::Receiver<WorkResult> receiver, WorkQueue* queue) {
  return ParallelCandidates(std::make_unique<ParallelCandidates::State>(
      ParallelCandidates::State{std::move(receiver), ParkedResults(), queue}));
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
  auto found = [&]() -> std::optional<Result<decoder::DecodedCandidate>> {
    if (auto parked = state_->completed.remove(marker)) return parked;
    for (;;) {
      auto message = state_->receiver.receive();
      if (!message) return std::nullopt;
      if (message->marker == marker) return std::move(message->result);
      // A result below the wanted one is dropped here, its buffer going back to the queue.
      if (message->marker > marker) state_->completed.park(message->marker, std::move(message->result));
    }
  }();
  if (!found) return fail(Error::invalid_configuration("parallel decoder stopped early"));
  // The writer has its next block: the workers may hold output one block further.
  if (state_->queue != nullptr) state_->queue->taken();
  return std::move(*found);
}

void ParallelCandidates::discard_before(std::uint64_t marker) { state_->completed.drop_below(marker); }

struct ParallelDecode::State {
  State(std::span<const std::uint8_t> data, const MarkerList& markers, const concurrency::ThreadPool& pool,
        std::uint64_t memory_limit, const WorkSteps* steps)
      : data(data), queue(memory_limit, pool.size(), data, markers), pool(pool), steps(steps) {}

  // Runs worker_loop once on every pool thread and waits for all of them.
  // This thread keeps the only sending end; the channel closes when it goes,
  // that is exactly when every worker has returned.
  void broadcast(concurrency::Sender<WorkResult> sender) {
    const concurrency::Sender<WorkResult> own = std::move(sender);
    std::mutex fault_mutex;
    try {
      const bool clean = pool.broadcast([&](std::size_t) {
        try {
          worker_loop(data, queue, own, steps);
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

Result<ParallelDecode> ParallelDecode::start(std::span<const std::uint8_t> data, const MarkerList& markers,
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
  ParallelCandidates consumer = ParallelCandidatesOf::make(std::move(*state_->receiver), &state_->queue);
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
