// The hand-out of speculative decodes and their memory budget. Items go out
// in ascending bit offset, so the block the chain needs next is never behind
// a later one. A decode is counted at MAX_BLOCK_OUTPUT while it runs and at
// its real size from then until the consumer takes or drops the result, so
// the decoded output held at once never exceeds the limit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "morvane/decode/markers.hpp"

namespace morvane::decode {

// One block marker to decode speculatively.
struct WorkItem {
  std::uint64_t marker;      // its index in the marker list; travels back with the result
  std::uint64_t bit_offset;  // first bit of the block magic
  std::uint32_t crc;         // the stored block CRC the scan read
};

// The block markers of the list, in list order (end markers need no decode).
std::vector<WorkItem> work_items(std::span<const Marker> markers);

class WorkQueue {
 public:
  // `limit` is at least MAX_BLOCK_OUTPUT (the options check sees to that).
  WorkQueue(std::uint64_t limit, std::uint64_t items);
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // A worker's next item position, waiting until the budget has room for one
  // more running decode; nothing once every item is out or the queue is
  // cancelled. The position is then counted at MAX_BLOCK_OUTPUT.
  std::optional<std::uint64_t> acquire();
  // A finished decode: its reservation becomes its real size `bytes`.
  void settle(std::uint64_t bytes);
  // Gives `bytes` of a finished result back to the budget.
  void retire(std::uint64_t bytes);
  // No item below `position` will be handed out any more (their markers lie
  // before the chain's current position, so their results would be dropped).
  void skip_to(std::uint64_t position);
  // Every waiting worker leaves; no item is handed out any more.
  void cancel();

  // The bytes counted against the budget now (for tests).
  std::uint64_t in_use() const;

 private:
  mutable std::mutex state_;
  std::condition_variable ready_;
  std::uint64_t next_ = 0;
  std::uint64_t in_use_ = 0;
  bool cancelled_ = false;
  const std::uint64_t start_below_;  // a decode starts only while in_use <= limit - MAX_BLOCK_OUTPUT
  const std::uint64_t items_;
};

}  // namespace morvane::decode
