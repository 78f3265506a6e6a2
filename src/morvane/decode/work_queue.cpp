#include "morvane/decode/work_queue.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

#include "morvane/constants.hpp"
#include "morvane/decode/chain.hpp"

namespace morvane::decode {
namespace {

inline constexpr std::uint64_t kNoChain = std::numeric_limits<std::uint64_t>::max();

// Writing a block's output (the final run-length stage and the CRC) is bound
// by memory bandwidth, which half the threads fill; the others invert the
// next blocks in their working memory meanwhile. So output for half the
// threads, and one block being written, is all a decode needs: more would only
// fault in fresh memory.
std::uint64_t output_ceiling(std::uint64_t limit, std::uint64_t threads) {
  const std::uint64_t wanted = (threads / 2 + 1) * MAX_BLOCK_OUTPUT;
  return std::min(limit, wanted);
}

}  // namespace

WorkQueue::WorkQueue(std::uint64_t limit, std::uint64_t threads, std::span<const std::uint8_t> data,
                     const MarkerList& markers)
    : data_(data),
      markers_(markers),
      window_(2 * std::max<std::uint64_t>(threads, 1)),
      ceiling_(output_ceiling(limit, threads)),
      max_free_(static_cast<std::size_t>(window_ + threads)) {
  // Reserved up front, so that keeping an item out or a buffer cannot throw.
  out_.reserve(static_cast<std::size_t>(threads) + 1);
  free_.reserve(max_free_);
  confirm(first_chain_block(data_, markers_, 0));
}

WorkQueue::~WorkQueue() {
  // Buffers still out belong to results that die before the queue does.
  for (auto& buffer : free_) buffer.release();
}

WorkQueue::Out* WorkQueue::out(std::uint64_t marker) {
  for (Out& o : out_) {
    if (o.marker == marker) return &o;
  }
  return nullptr;
}

void WorkQueue::forget(std::uint64_t marker) {
  std::erase_if(out_, [marker](const Out& o) { return o.marker == marker; });
}

bool WorkQueue::dead(std::uint64_t marker) const {
  return markers_[marker].bit_offset() < chain_at_.load(std::memory_order_relaxed);
}

bool WorkQueue::speculation_paused() const {
  return dropped_cost_ > 3 * chain_cost_ + kSpeculationAllowance;
}

void WorkQueue::confirm(std::optional<std::uint64_t> marker) {
  for (;;) {
    frontier_.reset();
    if (!marker) {
      // The chain ends here, or breaks where the walk will fail: no candidate
      // that is not confirmed yet will be wanted.
      chain_at_.store(kNoChain, std::memory_order_relaxed);
      break;
    }
    const std::uint64_t place = places_++;
    chain_at_.store(markers_[*marker].bit_offset(), std::memory_order_relaxed);
    if (Out* o = out(*marker); o != nullptr && o->read) {
      // Read already: its worker goes on, and so does the chain.
      o->place = place;
      chain_cost_ += o->cost;
      marker = next_chain_block(data_, markers_, o->end_bit);
      continue;
    }
    if (*marker < next_ && out(*marker) == nullptr) {
      // Handed out and no longer out: its read failed, and so will the walk.
      chain_at_.store(kNoChain, std::memory_order_relaxed);
      break;
    }
    frontier_ = *marker;
    frontier_place_ = place;
    break;
  }
  changed_.notify_all();
}

std::optional<WorkItem> WorkQueue::acquire() {
  std::unique_lock lock(state_);
  for (;;) {
    if (cancelled_) return std::nullopt;
    const std::uint64_t chain_at = chain_at_.load(std::memory_order_relaxed);
    for (; next_ < markers_.size(); ++next_) {
      const Marker marker = markers_[next_];
      if (marker.is_block() && marker.bit_offset() >= chain_at) break;
    }
    if (next_ == markers_.size()) return std::nullopt;
    if (!speculation_paused() || frontier_ == next_) break;
    changed_.wait(lock);
  }
  const WorkItem item{next_, markers_[next_].bit_offset(), markers_.crc(next_)};
  ++next_;
  out_.push_back(Out{.marker = item.marker, .place = std::nullopt});
  return item;
}

Verdict WorkQueue::read_done(const WorkItem& item, std::uint64_t end_bit, std::uint64_t cost) {
  std::unique_lock lock(state_);
  if (frontier_ == item.marker) {
    chain_cost_ += cost;
    const std::uint64_t place = frontier_place_;
    forget(item.marker);
    confirm(next_chain_block(data_, markers_, end_bit));
    return {Verdict::Finish, place};
  }
  Out* mine = out(item.marker);
  mine->read = true;
  mine->end_bit = end_bit;
  mine->cost = cost;
  // A confirmation that reaches this item also goes on past it: its end is known now.
  changed_.wait(lock, [&] { return cancelled_ || out(item.marker)->place || dead(item.marker); });
  const std::optional<std::uint64_t> place = out(item.marker)->place;
  forget(item.marker);
  if (place) return {Verdict::Finish, *place};
  if (cancelled_) return {Verdict::Stop};
  dropped_cost_ += cost;
  return {Verdict::Drop};
}

void WorkQueue::read_failed(const WorkItem& item, std::uint64_t cost) {
  std::lock_guard lock(state_);
  forget(item.marker);
  if (frontier_ == item.marker) {
    chain_cost_ += cost;
    confirm(std::nullopt);
  } else {
    dropped_cost_ += cost;
  }
}

void WorkQueue::mark_granted(std::uint64_t place) {
  if (place != first_ungranted_) {
    granted_ahead_.push_back(place);
    return;
  }
  ++first_ungranted_;
  for (auto at = std::find(granted_ahead_.begin(), granted_ahead_.end(), first_ungranted_);
       at != granted_ahead_.end();
       at = std::find(granted_ahead_.begin(), granted_ahead_.end(), first_ungranted_)) {
    granted_ahead_.erase(at);
    ++first_ungranted_;
  }
  changed_.notify_all();
}

std::optional<decoder::BlockBuffer> WorkQueue::grant(std::uint64_t place, std::uint64_t length) {
  using decoder::BlockBuffer;
  const auto size = static_cast<std::size_t>(length);
  std::unique_lock lock(state_);
  std::uint64_t counted = 0;
  std::optional<BlockBuffer> buffer;
  changed_.wait(lock, [&] { return cancelled_ || (place < taken_ + window_ && (buffer = take_room(place, size, counted))); });
  if (cancelled_) return std::nullopt;
  mark_granted(place);
  lock.unlock();
  try {
    buffer->resize(size);
  } catch (...) {
    lock.lock();
    in_use_ = in_use_ - counted + buffer->capacity();
    recycle_locked(std::move(*buffer));
    changed_.notify_all();
    throw;
  }
  // capacity_for foretold the capacity, so the count is exact.
  assert(buffer->capacity() == counted);
  buffer->set_recycler(this);
  return buffer;
}

std::optional<decoder::BlockBuffer> WorkQueue::take_room(std::uint64_t place, std::size_t size,
                                                         std::uint64_t& counted) {
  using decoder::BlockBuffer;
  // The free buffer to adopt: the smallest that serves as it is, else for a
  // mapped size the largest (remapped, it keeps its pages), else none.
  auto pick = free_.end();
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (BlockBuffer::capacity_for(size, it->capacity()) == it->capacity() &&
        (pick == free_.end() || it->capacity() < pick->capacity())) {
      pick = it;
    }
  }
  if (pick == free_.end() && size >= BlockBuffer::kMapThreshold && !free_.empty()) {
    pick = std::max_element(free_.begin(), free_.end(),
                            [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
  }
  const std::uint64_t adopted = pick == free_.end() ? 0 : pick->capacity();
  counted = BlockBuffer::capacity_for(size, static_cast<std::size_t>(adopted));
  const std::uint64_t room = place == first_ungranted_        ? ceiling_
                             : ceiling_ > MAX_BLOCK_OUTPUT ? ceiling_ - MAX_BLOCK_OUTPUT
                                                           : 0;
  // Every free buffer is counted; the others may give way.
  std::uint64_t others = 0;
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (it != pick) others += it->capacity();
  }
  const std::uint64_t after = in_use_ - adopted + counted;
  if (after - others > room) return std::nullopt;
  BlockBuffer buffer;
  if (pick != free_.end()) {
    buffer = std::move(*pick);
    free_.erase(pick);
  }
  in_use_ = after;
  // Smallest first: the larger ones are the likelier to serve the next blocks.
  while (in_use_ > room) {
    auto smallest = std::min_element(free_.begin(), free_.end(),
                                     [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    in_use_ -= smallest->capacity();
    smallest->release();
    free_.erase(smallest);
  }
  return buffer;
}

void WorkQueue::skip(std::uint64_t place) {
  std::lock_guard lock(state_);
  mark_granted(place);
}

void WorkQueue::taken() {
  std::lock_guard lock(state_);
  ++taken_;
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

std::pair<std::uint64_t, std::uint64_t> WorkQueue::read_costs() const {
  std::lock_guard lock(state_);
  return {chain_cost_, dropped_cost_};
}

std::pair<std::size_t, std::size_t> WorkQueue::free_list() const {
  std::lock_guard lock(state_);
  return {free_.size(), max_free_};
}

}  // namespace morvane::decode
