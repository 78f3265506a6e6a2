// A least-recently-used cache of decoded blocks, bounded by the total length of
// the vectors it holds rather than by their number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

namespace morvane::indexed {

// One thread at a time: even a lookup reorders the entries.
class BlockCache {
 public:
  explicit BlockCache(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // The cached data of block `block`, marked most recently used; nullptr on a
  // miss. The pointer stays valid until the next insertion.
  const std::vector<std::uint8_t>* lookup(std::size_t block);

  // Offers a block's data. A vector longer than the whole budget is dropped and
  // the cache left alone; otherwise the least recently used entries are evicted
  // until it fits. Offering a block that is already cached replaces it.
  void insert(std::size_t block, std::vector<std::uint8_t> data);

  // Whether `block` is cached, without touching it.
  bool contains(std::size_t block) const { return entries_.contains(block); }
  std::size_t size() const { return entries_.size(); }
  std::size_t used_bytes() const { return used_bytes_; }
  std::size_t max_bytes() const { return max_bytes_; }

 private:
  void touch(std::size_t block);
  void forget(std::size_t block);

  std::deque<std::size_t> order_;  // least recently used at the front
  std::unordered_map<std::size_t, std::vector<std::uint8_t>> entries_;
  std::size_t used_bytes_ = 0;  // total length of the vectors in entries_
  std::size_t max_bytes_;
};

}  // namespace morvane::indexed
