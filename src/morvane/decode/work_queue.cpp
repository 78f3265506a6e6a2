#include "morvane/decode/work_queue.hpp"

#include <algorithm>

#include "morvane/constants.hpp"

namespace morvane::decode {

std::vector<WorkItem> work_items(std::span<const Marker> markers) {
  std::vector<WorkItem> items;
  for (std::uint64_t i = 0; i < markers.size(); ++i) {
    if (const Marker::Block* block = markers[i].block()) items.push_back({i, block->bit_offset, block->crc});
  }
  return items;
}

WorkQueue::WorkQueue(std::uint64_t limit, std::uint64_t items)
    : start_below_(limit - std::min(limit, MAX_BLOCK_OUTPUT)), items_(items) {}

std::optional<std::uint64_t> WorkQueue::acquire() {
  std::unique_lock lock(state_);
  ready_.wait(lock, [&] { return in_use_ <= start_below_ || next_ >= items_ || cancelled_; });
  if (cancelled_ || next_ >= items_) return std::nullopt;
  in_use_ += MAX_BLOCK_OUTPUT;
  return next_++;
}

// Every wake-up below is made under the lock and wakes all waiting workers:
// any of them may be the one whose turn it is.
void WorkQueue::settle(std::uint64_t bytes) {
  std::lock_guard lock(state_);
  in_use_ = in_use_ + bytes - MAX_BLOCK_OUTPUT;
  ready_.notify_all();
}

void WorkQueue::retire(std::uint64_t bytes) {
  std::lock_guard lock(state_);
  in_use_ -= bytes;
  ready_.notify_all();
}

void WorkQueue::skip_to(std::uint64_t position) {
  std::lock_guard lock(state_);
  position = std::min(position, items_);
  if (position <= next_) return;
  next_ = position;
  // Workers waiting for budget leave at once when nothing is left to hand out.
  if (next_ == items_) ready_.notify_all();
}

void WorkQueue::cancel() {
  std::lock_guard lock(state_);
  cancelled_ = true;
  ready_.notify_all();
}

std::uint64_t WorkQueue::in_use() const {
  std::lock_guard lock(state_);
  return in_use_;
}

}  // namespace morvane::decode
