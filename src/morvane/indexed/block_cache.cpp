#include "morvane/indexed/block_cache.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace morvane::indexed {

const std::vector<std::uint8_t>* BlockCache::lookup(std::size_t block) {
  auto it = entries_.find(block);
  if (it == entries_.end()) return nullptr;
  touch(block);
  return &it->second;
}

void BlockCache::insert(std::size_t block, std::vector<std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n > max_bytes_) return;
  // Keeps every cached block in order_ exactly once even when a caller offers
  // a block twice.
  if (entries_.contains(block)) forget(block);
  // Written as a difference: used + n could wrap with a budget near SIZE_MAX.
  while (used_bytes_ > max_bytes_ - n && !order_.empty()) {
    const std::size_t oldest = order_.front();
    order_.pop_front();
    auto it = entries_.find(oldest);
    used_bytes_ -= it->second.size();
    entries_.erase(it);
  }
  // Both steps that allocate come before the accounting, and a failed append
  // takes the entry back out, so an allocation failure leaves the invariants
  // intact.
  auto it = entries_.emplace(block, std::move(data)).first;
  try {
    order_.push_back(block);
  } catch (...) {
    entries_.erase(it);
    throw;
  }
  used_bytes_ += n;
}

// A linear scan: the cache holds few blocks (each up to tens of megabytes).
// A block occurs once in order_, so moving it to the back is a rotation,
// which cannot fail the way an erase and an append could.
void BlockCache::touch(std::size_t block) {
  auto it = std::find(order_.begin(), order_.end(), block);
  if (it != order_.end()) std::rotate(it, std::next(it), order_.end());
}

void BlockCache::forget(std::size_t block) {
  auto it = entries_.find(block);
  used_bytes_ -= it->second.size();
  entries_.erase(it);
  std::erase(order_, block);
}

}  // namespace morvane::indexed
