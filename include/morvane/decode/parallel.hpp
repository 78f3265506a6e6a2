// Speculative parallel decoding: every block marker, true or false, is read
// on the pool in ascending bit order; the candidates on the chain of real
// blocks are finished and sent to the calling thread, which walks the chain
// and pulls each block's result the moment it needs it. Results of markers
// the chain passes over are dropped without a word, failed or not.
//
// What speculation can cost: a candidate's expensive stages (inverse
// transform, final run-length stage, CRC) run only once the chain has
// reached it, so they cost what the serial road pays, plus at most the blocks
// that the chain goes on with while the walk meets its first failure. A
// candidate's read runs only while the chain has not passed its start, and
// reads that end up dropped are paid for by the chain's own (work_queue.hpp).
// Output is held only for blocks the writer will want soon, within the
// memory limit.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "morvane/decode/assemble.hpp"
#include "morvane/decode/markers.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/error.hpp"
#include "morvane/writer.hpp"

namespace morvane::concurrency {
class ThreadPool;
}

namespace morvane::decode {

// Decode steps a test puts in the workers' place (to count, to hold or to fail
// decodes); the product passes none.
struct WorkSteps;

inline constexpr const char* kWorkerPanicked = "parallel decoder worker panicked";

// The consumer's side of the parallel road, a source of decoded blocks for the
// walk. Used only on the calling thread.
class ParallelCandidates {
 public:
  ParallelCandidates(ParallelCandidates&&) noexcept;
  ParallelCandidates& operator=(ParallelCandidates&&) = delete;
  // The receiving end goes first, so every later send fails and the queued
  // messages are freed; then the parked results.
  ~ParallelCandidates();

  // The result of the block marker `marker`, waiting for it if need be.
  Result<decoder::DecodedCandidate> take(std::uint64_t marker);
  // No result below `marker` will be asked for again: drops the parked ones.
  void discard_before(std::uint64_t marker);

 private:
  friend class ParallelDecode;
  friend struct ParallelCandidatesOf;
  struct State;
  explicit ParallelCandidates(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The workers of one parallel decode: the work items, the queue with its
// budget, the result channel, and the broadcast thread that runs a worker on
// every pool thread. Used only on the calling thread.
class ParallelDecode {
 public:
  // Starts the workers; a broadcast thread that cannot be started gives
  // InvalidConfiguration with the system's error text.
  static Result<ParallelDecode> start(std::span<const std::uint8_t> data, const MarkerList& markers,
                                      const concurrency::ThreadPool& pool, std::uint64_t memory_limit,
                                      const WorkSteps* steps = nullptr);
  ParallelDecode(ParallelDecode&&) noexcept;
  ParallelDecode& operator=(ParallelDecode&&) = delete;
  // Stops the workers if stop was not called (a walk that threw).
  ~ParallelDecode();

  // The consumer's side; taken once, and dropped before stop.
  ParallelCandidates candidates();
  // Cancels the queue and waits for every worker. A worker that ran out of
  // memory makes it throw std::bad_alloc; any other fault that escaped a
  // worker gives InvalidConfiguration "parallel decoder worker panicked".
  Result<void> stop();

 private:
  struct State;
  explicit ParallelDecode(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The parallel road: starts the workers, walks the chain with their
// candidates, then tears down in order: the candidates (receiver first),
// cancel, join. A worker fault replaces what the walk returned.
template <Walk kWalk = Walk::kIndex, Writer W, Progress P>
WalkResult<kWalk> parallel_road(std::span<const std::uint8_t> data, W& writer, const MarkerList& markers,
                                const concurrency::ThreadPool& pool, std::uint64_t memory_limit, P&& progress,
                                const WorkSteps* steps = nullptr) {
  auto run = ParallelDecode::start(data, markers, pool, memory_limit, steps);
  if (!run) return fail(std::move(run.error()));
  // The candidates die with this statement, before the workers are stopped.
  WalkResult<kWalk> walked = assemble<kWalk>(data, writer, markers, run->candidates(), progress);
  if (auto stopped = run->stop(); !stopped) return fail(std::move(stopped.error()));
  return walked;
}

}  // namespace morvane::decode
