// The parallel road watched from inside, for the fuzz targets: the product's
// decode steps, wrapped so that they find the queue (through the buffers it
// grants) and note which chain places are inverted, and a writer that checks
// the queue's budget at every write. From what they see, a run counts grants
// that had to wait (for the writer's window, or for room under the smallest
// limit), buffers adopted from the free list, the free list seen full and
// speculation seen paused (false blocks' reads outweighing the chain's); a
// run may also throw a fault from a chosen step, which must end the decode
// as the worker-fault paths say.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "fuzz_support.hpp"
#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/decode/work_queue.hpp"
#include "morvane/decode/workers.hpp"

namespace morvane::fuzz {

// A fault to throw from one decode step: the step numbered `at` (from 1, over
// every worker's reads, inversions and expansions), as std::bad_alloc or as
// any other exception.
struct Fault {
  std::uint64_t at;
  bool bad_alloc;
};

class WatchingSteps final : public decode::WorkSteps {
 public:
  // `chain`: the bit offset of each block's magic in chain order (empty for
  // an input that fails); `window`: the blocks past the last one taken that
  // may hold output; `tight`: room for the first ungranted block only.
  WatchingSteps(std::span<const std::uint64_t> chain, std::uint64_t window, bool tight, std::optional<Fault> fault)
      : chain_(chain), window_(window), tight_(tight), fault_(fault), inverted_(chain.size(), false) {}

  Result<std::optional<decoder::BlockShape>> read(std::span<const std::uint8_t> data, const decode::WorkItem& item,
                                                  decoder::Decoder& decoder,
                                                  const decoder::Wanted& wanted) const override {
    step();
    reading() = item.bit_offset;
    return WorkSteps::read(data, item, decoder, wanted);
  }

  Result<std::uint64_t> invert(decoder::Decoder& decoder) const override {
    step();
    auto length = WorkSteps::invert(decoder);
    inverted(reading());
    inversions_.fetch_add(1);
    return length;
  }

  Result<void> expand(decoder::Decoder& decoder, decoder::BlockBuffer& out) const override {
    step();
    expands_.fetch_add(1);
    if (queue_.load() == nullptr) queue_.store(dynamic_cast<decode::WorkQueue*>(out.recycler()));
    return WorkSteps::expand(decoder, out);
  }

  // The writer is about to write its next block.
  void writing() const { writes_.fetch_add(1); }
  decode::WorkQueue* queue() const { return queue_.load(); }
  bool faulted() const { return faulted_.load(); }
  std::uint64_t inversions() const { return inversions_.load(); }
  std::uint64_t expands() const { return expands_.load(); }
  std::uint64_t window_holds() const { return window_holds_.load(); }
  std::uint64_t budget_holds() const { return budget_holds_.load(); }

 private:
  // The block magic the calling worker read last: its inversion follows on
  // the same thread.
  static std::uint64_t& reading() {
    thread_local std::uint64_t bit = 0;
    return bit;
  }

  void step() const {
    const std::uint64_t n = steps_.fetch_add(1) + 1;
    if (!fault_ || n != fault_->at) return;
    faulted_.store(true);
    if (fault_->bad_alloc) throw std::bad_alloc();
    throw std::runtime_error("a fault of the fuzz target's decode steps");
  }

  // A chain block inverted, its grant about to be asked for. It must wait
  // when it lies past the writer's window (the writer has begun `writes`
  // blocks, so it has taken at most one more), or, with room for the first
  // ungranted block only, when a block before it has not been inverted yet.
  void inverted(std::uint64_t bit) const {
    const auto at = std::lower_bound(chain_.begin(), chain_.end(), bit);
    if (at == chain_.end() || *at != bit) return;
    const auto place = static_cast<std::uint64_t>(at - chain_.begin());
    if (place >= writes_.load() + 1 + window_) window_holds_.fetch_add(1);
    std::lock_guard lock(mutex_);
    inverted_[place] = true;
    while (first_not_inverted_ < inverted_.size() && inverted_[first_not_inverted_]) ++first_not_inverted_;
    if (tight_ && first_not_inverted_ < place) budget_holds_.fetch_add(1);
  }

  std::span<const std::uint64_t> chain_;
  const std::uint64_t window_;
  const bool tight_;
  const std::optional<Fault> fault_;
  mutable std::atomic<decode::WorkQueue*> queue_{nullptr};
  mutable std::atomic<std::uint64_t> steps_{0}, writes_{0}, expands_{0}, inversions_{0}, window_holds_{0},
      budget_holds_{0};
  mutable std::atomic<bool> faulted_{false};
  mutable std::mutex mutex_;
  mutable std::vector<bool> inverted_;
  mutable std::size_t first_not_inverted_ = 0;
};

// Fingerprints the output; at each write, checks the queue's budget as the
// writer sees it and notes a full free list and paused speculation. With `hold_for` set, it holds
// its first write back (yielding, a bounded number of times) until that many
// blocks are inverted: the workers run up to the window.
struct BudgetWriter {
  const WatchingSteps& steps;
  std::uint64_t limit;
  std::uint64_t hold_for = 0;
  Fingerprint out;
  bool full_free_list = false;
  bool speculation_paused = false;

  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    steps.writing();
    for (int i = 0; i < 100000 && out.length() == 0 && steps.inversions() < hold_for; ++i) std::this_thread::yield();
    if (const decode::WorkQueue* queue = steps.queue()) {
      const std::uint64_t used = queue->in_use();
      FUZZ_CHECK(used <= limit && used <= queue->ceiling());
      const auto [kept, most] = queue->free_list();
      FUZZ_CHECK(kept <= most);
      full_free_list = full_free_list || kept == most;
      const auto [chain, dropped] = queue->read_costs();
      speculation_paused = speculation_paused || dropped > 3 * chain + decode::WorkQueue::kSpeculationAllowance;
    }
    out.add(bytes);
    return {};
  }
  std::expected<void, IoError> flush() { return {}; }
};

// The decode-only parallel road over `input` with the watching steps, on the
// engine's own plan (pool, scan, markers) for `threads`. `index`: the walk's
// index when the input decodes (then to `expected`), else nothing. A fault
// (one `knob` in eight) must end the decode with the worker-fault error, or
// with std::bad_alloc thrown.
inline void watched_parallel_road(std::span<const std::uint8_t> input, std::uint64_t threads, std::uint64_t limit,
                                  const index::Index* index, const Fingerprint& expected, std::uint8_t knob,
                                  Reach& reach) {
  auto plan = decode::detail::plan_scanning_road(input, threads);
  if (!plan || plan->over_cap || !plan->pool) return;
  std::vector<std::uint64_t> chain;
  if (index != nullptr) {
    for (const auto& block : index->blocks) chain.push_back(block.compressed_start_bit);
  }
  const std::uint64_t pool = plan->pool->size();
  const std::optional<Fault> fault =
      knob % 8 == 7 ? std::optional(Fault{1 + (knob >> 3) % 16u, (knob & 0x80) != 0}) : std::nullopt;
  const bool tight = std::min(limit, (pool + 1) * MAX_BLOCK_OUTPUT) == MAX_BLOCK_OUTPUT;
  WatchingSteps steps(chain, 2 * pool, tight, fault);
  // Held back, the writer has taken one block: then the window and one
  // block per worker may be inverted past it.
  const std::uint64_t hold_for = knob & 2 ? std::min<std::uint64_t>(chain.size(), 3 * pool + 1) : 0;
  BudgetWriter writer{steps, limit, hold_for, {}};
  const std::uint64_t before = decoder::BlockBuffer::storage_obtained();
  std::optional<Result<void>> outcome;
  try {
    outcome = decode::parallel_road<decode::Walk::kDecodeOnly>(input, writer, plan->markers, *plan->pool, limit,
                                                                NoProgress{}, &steps);
  } catch (const std::bad_alloc&) {
    FUZZ_CHECK(steps.faulted() && fault->bad_alloc);
    reach.add("worker faults");
    return;
  }
  if (steps.faulted()) {
    FUZZ_CHECK(!fault->bad_alloc && !*outcome);
    FUZZ_CHECK(outcome->error() == Error::invalid_configuration(decode::kWorkerPanicked));
    reach.add("worker faults");
    return;
  }
  FUZZ_CHECK(outcome->has_value() == (index != nullptr));
  if (index == nullptr) return;
  FUZZ_CHECK(writer.out == expected);
  const std::uint64_t obtained = decoder::BlockBuffer::storage_obtained() - before;
  reach.add("watched parallel walks");
  reach.add("grants held by the window", steps.window_holds());
  reach.add("grants held by the budget", steps.budget_holds());
  // Every grant either adopts a free buffer or obtains storage.
  reach.add("buffers adopted", steps.expands() > obtained ? steps.expands() - obtained : 0);
  reach.add("free list seen full", writer.full_free_list ? 1 : 0);
  reach.add("speculation seen paused", writer.speculation_paused ? 1 : 0);
}

}  // namespace morvane::fuzz
