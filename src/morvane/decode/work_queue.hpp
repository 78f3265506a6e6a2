// The hand-out of speculative decodes, the order in which their output may be
// held, and the free list of output buffers.
//
// Reading. Every block marker is a work item, handed out in ascending bit
// offset, so the block the chain needs next is never behind a later one. A
// worker first reads its candidate (header, tables, symbols: a cost that
// follows its compressed length) and reports where it ends. Only candidates
// on the chain of real blocks go further: the queue confirms the chain's
// first block, and each confirmed block whose end is known confirms the block
// the chain continues with. A candidate whose start the confirmed chain has
// passed is dead: it is not handed out, its read gives up, and a worker that
// read it drops it.
//
// Paying for speculation. Reads of candidates that end up dropped are counted
// against reads on the chain (in bits read plus entries written); once the
// dropped reads cost more than three times the chain's reads plus an
// allowance, only the chain's next block is handed out, so workers wait for
// the chain instead of reading on. Dropped reads then cost at most
// 3 x the chain's reads + the allowance + one read per worker.
//
// Holding output. A confirmed block is inverted in its worker's working
// memory, which tells the exact size of its output; only then is its buffer
// granted, and only when the writer will want it soon: at most two blocks per
// thread past the last one the consumer took, and bytes within the smaller of
// the memory limit and (threads / 2 + 1) x MAX_BLOCK_OUTPUT (half the threads
// writing the output of a block of the largest size, and one block being
// written out). Buffers
// come from the free list before any new one is mapped. The bytes counted
// (in_use) are the capacities of granted buffers until they are destroyed,
// after the consumer wrote them, and of the free buffers; they never pass the
// limit. So that the block the consumer waits for is never stuck behind later
// ones, only the first block not yet granted may use the last
// MAX_BLOCK_OUTPUT bytes of room: what later blocks hold always leaves it
// room once the blocks before it are written.
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

// One block marker handed out for a speculative decode.
struct WorkItem {
  std::uint64_t marker;      // its index in the marker list; travels back with the result
  std::uint64_t bit_offset;  // first bit of the block magic
  std::uint32_t crc;         // the stored block CRC after the magic
};

// What a worker does with a candidate it has read.
struct Verdict {
  enum Kind : std::uint8_t {
    Finish,  // it is on the chain: invert it, then ask for its buffer
    Drop,    // the chain has passed it
    Stop,    // the queue was cancelled
  } kind;
  std::uint64_t place = 0;  // for Finish: its place in the chain, counted from 0
};

class WorkQueue final : public decoder::BufferRecycler {
 public:
  // Reads up to this cost are free of the chain's account (about three
  // blocks of 900000 symbols).
  static constexpr std::uint64_t kSpeculationAllowance = std::uint64_t{8} << 20;

  // `limit` is at least MAX_BLOCK_OUTPUT (the options check sees to that);
  // `threads` the number of workers; `markers` the list of the input `data`.
  WorkQueue(std::uint64_t limit, std::uint64_t threads, std::span<const std::uint8_t> data,
            const MarkerList& markers);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // The next block marker the chain has not passed; nothing once every item
  // is out or the queue is cancelled.
  std::optional<WorkItem> acquire();

  // The read of `item` (costing `cost`) ended at `end_bit`. Confirms where
  // the chain goes on if `item` is confirmed; otherwise waits until it is
  // confirmed, passed over or cancelled.
  Verdict read_done(const WorkItem& item, std::uint64_t end_bit, std::uint64_t cost);
  // The read of `item` failed (its error goes to the consumer) or gave up.
  // A confirmed block that failed ends the chain: the walk fails there.
  void read_failed(const WorkItem& item, std::uint64_t cost);

  // A buffer of exactly `length` bytes for the block at `place` in the
  // chain, waiting until the writer will want it soon and the bytes fit;
  // nothing when the queue is cancelled. The buffer comes back here when it
  // is destroyed. Throws std::bad_alloc when memory is short.
  std::optional<decoder::BlockBuffer> grant(std::uint64_t place, std::uint64_t length);
  // The block at `place` will not ask for a buffer (its inversion failed).
  void skip(std::uint64_t place);

  // The consumer took the chain's next block (the write window moves on).
  void taken();
  void recycle(decoder::BlockBuffer&& buffer) noexcept override;

  // Every waiting worker leaves; nothing is handed out any more.
  void cancel();

  // The first bit of the latest confirmed block (all ones once the chain has
  // ended): a candidate that starts before it and is not confirmed is dead.
  // Read without the lock by readers deciding whether to give up.
  const std::atomic<std::uint64_t>& chain_at() const { return chain_at_; }

  // The bytes counted against the limit now (for tests).
  std::uint64_t in_use() const;
  // The bytes the output of blocks may hold at once.
  std::uint64_t ceiling() const { return ceiling_; }
  // The read costs so far: on the chain, and of candidates dropped (for tests).
  std::pair<std::uint64_t, std::uint64_t> read_costs() const;
  // The buffers the free list holds now, and the most it holds (for tests).
  std::pair<std::size_t, std::size_t> free_list() const;

 private:
  // A candidate out for reading, or read and waiting for the chain's verdict.
  struct Out {
    std::uint64_t marker;
    bool read = false;
    std::uint64_t end_bit = 0;
    std::uint64_t cost = 0;
    std::optional<std::uint64_t> place;  // set when the chain confirms it after its read
  };

  Out* out(std::uint64_t marker);
  void forget(std::uint64_t marker);
  bool dead(std::uint64_t marker) const;
  bool speculation_paused() const;
  // Confirms the block at `marker` and, while a confirmed block's end is
  // known, the ones the chain goes on with; nothing means the chain ends.
  // Called with the lock held.
  void confirm(std::optional<std::uint64_t> marker);
  // The buffer for a block of `size` bytes at `place` if its bytes fit now,
  // adopting a free buffer and freeing others as need be; `counted` gets the
  // capacity it is counted at. Called with the lock held.
  std::optional<decoder::BlockBuffer> take_room(std::uint64_t place, std::size_t size, std::uint64_t& counted);
  // Marks `place` as granted and moves the first ungranted place on.
  void mark_granted(std::uint64_t place);
  // Keeps `buffer` in the free list, or frees it when the list is full.
  void recycle_locked(decoder::BlockBuffer&& buffer) noexcept;

  const std::span<const std::uint8_t> data_;
  const MarkerList& markers_;
  const std::uint64_t window_;   // blocks past the last one taken that may hold output
  const std::uint64_t ceiling_;  // bytes
  const std::size_t max_free_;
  std::atomic<std::uint64_t> chain_at_{0};

  mutable std::mutex state_;
  std::condition_variable changed_;  // chain confirmed, room freed, window moved, or cancelled
  bool cancelled_ = false;
  std::uint64_t next_ = 0;  // the next marker index to look at for hand-out
  std::vector<Out> out_;    // at most one per worker
  // The latest confirmed block, while its read has not ended.
  std::optional<std::uint64_t> frontier_;
  std::uint64_t frontier_place_ = 0;
  std::uint64_t places_ = 0;  // chain places handed out so far
  std::uint64_t chain_cost_ = 0, dropped_cost_ = 0;
  std::uint64_t taken_ = 0;          // blocks the consumer took
  std::uint64_t first_ungranted_ = 0;
  std::vector<std::uint64_t> granted_ahead_;  // granted places above first_ungranted_
  std::uint64_t in_use_ = 0;
  std::vector<decoder::BlockBuffer> free_;
};

}  // namespace morvane::decode
