// The hand-out of speculative decodes, their memory budget and the free list
// of output buffers.
//
// Every block marker is a work item, handed out in ascending bit offset, so
// the block the chain needs next is never behind a later one. A worker first
// reads its candidate (header, tables, symbols: a cost that follows the
// candidate's compressed length) and reports where it ends. Only candidates on
// the chain are finished (inverse transform, final run-length stage, CRC: up
// to 46.6 MB of output whatever the compressed length): the queue confirms the
// chain's first block, and each confirmed block whose end is known confirms
// the block the chain continues with. A candidate whose start the confirmed
// chain has passed is dead: it is not handed out, its read gives up, and a
// worker that read it drops it. So forged blocks hidden inside real ones, or
// chains of them, never reach their expensive stages.
//
// The budget: a running decode is counted at MAX_BLOCK_OUTPUT from its
// hand-out until it ends; a finished result at its buffer's capacity until
// that buffer is destroyed, which is after the consumer has written it; a free
// buffer at its capacity. A starting decode adopts a free buffer (its capacity
// becomes part of the reservation) and frees others when that is what it
// takes to fit, so a long decode reaches a state where it allocates nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "morvane/decode/markers.hpp"
#include "morvane/decoder/block_buffer.hpp"

namespace morvane::decode {

// One block marker to decode speculatively.
struct WorkItem {
  std::uint64_t marker;      // its index in the marker list; travels back with the result
  std::uint64_t bit_offset;  // first bit of the block magic
  std::uint32_t crc;         // the stored block CRC the scan read
};

// The block markers of the list, in list order (end markers need no decode).
std::vector<WorkItem> work_items(std::span<const Marker> markers);

// A decode handed out: the item's position and the buffer its output goes in.
struct Job {
  std::uint64_t position;
  decoder::BlockBuffer buffer;
};

// What a worker does with a candidate it has read.
enum class Verdict : std::uint8_t {
  Finish,  // it is on the chain
  Drop,    // the chain has passed it
  Stop,    // the queue was cancelled
};

class WorkQueue final : public decoder::BufferRecycler {
 public:
  // `limit` is at least MAX_BLOCK_OUTPUT (the options check sees to that);
  // `items` are the work items of `markers`, over the input `data`. Free
  // buffers beyond `free_buffers` are given back to the system.
  WorkQueue(std::uint64_t limit, std::span<const WorkItem> items, std::span<const std::uint8_t> data,
            std::span<const Marker> markers, std::size_t free_buffers);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // The next item the chain has not passed, with a free buffer if there is
  // one, waiting until the budget has room for one more running decode;
  // nothing once every item is out or the queue is cancelled.
  std::optional<Job> acquire();

  // The candidate at `position` was read and ends at `end_bit`. Confirms
  // where the chain goes on if it is confirmed; otherwise waits until it is
  // confirmed, passed over or cancelled.
  Verdict read_done(std::uint64_t position, std::uint64_t end_bit);

  // Gives a decode about to write its output a free buffer, if it has none
  // and one has come back since it started; the reservation covers it.
  void lend_buffer(decoder::BlockBuffer& buffer);
  // A decode that ends without a result to count (failed, given up, dropped):
  // its reservation ends and its buffer joins the free list.
  void end_job(decoder::BlockBuffer&& buffer);
  // A decode that finished into `buffer`: its reservation becomes the
  // buffer's capacity, and the buffer comes back here when destroyed.
  void settle(decoder::BlockBuffer& buffer);
  void recycle(decoder::BlockBuffer&& buffer) noexcept override;

  // Every waiting worker leaves; nothing is handed out any more.
  void cancel();

  // The first bit of the latest confirmed block (all ones once the chain has
  // ended): a candidate that starts before it and is not confirmed is dead. Read without the lock by readers
  // deciding whether to give up.
  const std::atomic<std::uint64_t>& chain_at() const { return chain_at_; }

  // The bytes counted against the budget now (for tests).
  std::uint64_t in_use() const;

 private:
  static constexpr std::uint8_t kConfirmed = 1;
  static constexpr std::uint8_t kRead = 2;

  bool dead(std::uint64_t position) const;
  // Confirms the block at `marker` and, while the confirmed block's end is
  // known, the ones the chain goes on with; nothing means the chain ends.
  // Called with the lock held.
  void confirm(std::optional<std::uint64_t> marker);
  // Gives free buffers back to the system until one more decode fits or
  // `keep` are left; true when it fits. Called with the lock held.
  bool make_room(std::size_t keep);
  // Keeps `buffer` in the free list, or frees it when the list is full.
  void recycle_locked(decoder::BlockBuffer&& buffer) noexcept;

  const std::uint64_t limit_;
  const std::span<const WorkItem> items_;
  const std::span<const std::uint8_t> data_;
  const std::span<const Marker> markers_;
  const std::size_t max_free_;
  std::atomic<std::uint64_t> chain_at_{0};

  mutable std::mutex state_;
  std::condition_variable changed_;  // budget freed, chain confirmed, or cancelled
  std::uint64_t next_ = 0;
  std::uint64_t in_use_ = 0;
  bool cancelled_ = false;
  std::vector<std::uint8_t> flags_;      // kConfirmed | kRead per item
  std::vector<std::uint64_t> end_bits_;  // where each read item ends
  std::vector<decoder::BlockBuffer> free_;
};

}  // namespace morvane::decode
