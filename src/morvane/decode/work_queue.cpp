#include "morvane/decode/work_queue.hpp"

#include <algorithm>
#include <utility>

#include "morvane/constants.hpp"
#include "morvane/decode/chain.hpp"

namespace morvane::decode {

std::vector<WorkItem> work_items(std::span<const Marker> markers) {
  std::vector<WorkItem> items;
  for (std::uint64_t i = 0; i < markers.size(); ++i) {
    if (const Marker::Block* block = markers[i].block()) items.push_back({i, block->bit_offset, block->crc});
  }
  return items;
}

WorkQueue::WorkQueue(std::uint64_t limit, std::span<const WorkItem> items, std::span<const std::uint8_t> data,
                     std::span<const Marker> markers, std::size_t free_buffers)
    : limit_(limit),
      items_(items),
      data_(data),
      markers_(markers),
      max_free_(free_buffers),
      flags_(items.size(), 0),
      end_bits_(items.size(), 0) {
  free_.reserve(max_free_);
  confirm(first_chain_block(data_, markers_, 0));
}

WorkQueue::~WorkQueue() {
  // Buffers still out belong to results that die before the queue does.
  for (auto& buffer : free_) buffer.release();
}

bool WorkQueue::dead(std::uint64_t position) const {
  return !(flags_[position] & kConfirmed) && items_[position].bit_offset < chain_at_.load(std::memory_order_relaxed);
}

void WorkQueue::confirm(std::optional<std::uint64_t> marker) {
  for (;;) {
    if (!marker) {
      // The chain ends here, or breaks where the walk will fail: no candidate
      // that is not confirmed yet will be wanted.
      chain_at_.store(UINT64_MAX, std::memory_order_relaxed);
      break;
    }
    const auto item = std::lower_bound(items_.begin(), items_.end(), *marker,
                                       [](const WorkItem& w, std::uint64_t key) { return w.marker < key; });
    const auto position = static_cast<std::uint64_t>(item - items_.begin());
    flags_[position] |= kConfirmed;
    chain_at_.store(item->bit_offset, std::memory_order_relaxed);
    if (!(flags_[position] & kRead)) break;
    marker = next_chain_block(data_, markers_, end_bits_[position]);
  }
  changed_.notify_all();
}

bool WorkQueue::make_room(std::size_t keep) {
  for (;;) {
    const std::uint64_t adopted = free_.empty() ? 0 : free_.back().capacity();
    if (in_use_ - adopted + MAX_BLOCK_OUTPUT <= limit_) return true;
    if (free_.size() <= keep) return false;
    // Free the smallest other buffer first: the larger ones are the likelier to fit the next blocks.
    auto smallest = std::min_element(free_.begin(), free_.end() - 1, [](const auto& a, const auto& b) {
      return a.capacity() < b.capacity();
    });
    in_use_ -= smallest->capacity();
    smallest->release();
    free_.erase(smallest);
  }
}

std::optional<Job> WorkQueue::acquire() {
  std::unique_lock lock(state_);
  for (;;) {
    if (cancelled_) return std::nullopt;
    while (next_ < items_.size() && dead(next_)) ++next_;
    if (next_ == items_.size()) return std::nullopt;
    if (make_room(1)) break;
    changed_.wait(lock);
  }
  Job job{next_++, decoder::BlockBuffer()};
  if (!free_.empty()) {
    job.buffer = std::move(free_.back());
    free_.pop_back();
  }
  in_use_ = in_use_ - job.buffer.capacity() + MAX_BLOCK_OUTPUT;
  return job;
}

Verdict WorkQueue::read_done(std::uint64_t position, std::uint64_t end_bit) {
  std::unique_lock lock(state_);
  flags_[position] |= kRead;
  end_bits_[position] = end_bit;
  if (flags_[position] & kConfirmed) {
    confirm(next_chain_block(data_, markers_, end_bit));
    return Verdict::Finish;
  }
  // A confirmation that reaches this item also goes on past it: its end is known now.
  changed_.wait(lock, [&] { return cancelled_ || (flags_[position] & kConfirmed) || dead(position); });
  if (cancelled_) return Verdict::Stop;
  return (flags_[position] & kConfirmed) ? Verdict::Finish : Verdict::Drop;
}

void WorkQueue::lend_buffer(decoder::BlockBuffer& buffer) {
  if (buffer.capacity() != 0) return;
  std::lock_guard lock(state_);
  if (free_.empty()) return;
  buffer = std::move(free_.back());
  free_.pop_back();
  in_use_ -= buffer.capacity();
}

void WorkQueue::end_job(decoder::BlockBuffer&& buffer) {
  std::lock_guard lock(state_);
  in_use_ = in_use_ + buffer.capacity() - MAX_BLOCK_OUTPUT;
  recycle_locked(std::move(buffer));
  changed_.notify_all();
}

void WorkQueue::settle(decoder::BlockBuffer& buffer) {
  std::lock_guard lock(state_);
  in_use_ = in_use_ + buffer.capacity() - MAX_BLOCK_OUTPUT;
  buffer.set_recycler(this);
  changed_.notify_all();
}

void WorkQueue::recycle(decoder::BlockBuffer&& buffer) noexcept {
  std::lock_guard lock(state_);
  recycle_locked(std::move(buffer));
  changed_.notify_all();
}

void WorkQueue::recycle_locked(decoder::BlockBuffer&& buffer) noexcept {
  if (buffer.capacity() == 0) return;
  if (free_.size() < max_free_) {
    free_.push_back(std::move(buffer));  // room was reserved: cannot throw
    return;
  }
  in_use_ -= buffer.capacity();
  buffer.release();
}

void WorkQueue::cancel() {
  std::lock_guard lock(state_);
  cancelled_ = true;
  changed_.notify_all();
}

std::uint64_t WorkQueue::in_use() const {
  std::lock_guard lock(state_);
  return in_use_;
}

}  // namespace morvane::decode
