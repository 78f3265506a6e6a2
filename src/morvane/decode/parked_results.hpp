// Results that reached the consumer before the chain wanted them, keyed by
// marker index. Results arrive almost in ascending order and leave from the
// front, so a sorted vector read from a moving head serves them without an
// allocation per result once it has grown to the usual number in flight.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "morvane/decoder/block.hpp"
#include "morvane/error.hpp"

namespace morvane::decode {

class ParkedResults {
 public:
  void park(std::uint64_t marker, Result<decoder::DecodedCandidate> result) {
    auto at = std::upper_bound(entries_.begin() + head_, entries_.end(), marker,
                               [](std::uint64_t key, const Entry& entry) { return key < entry.marker; });
    entries_.insert(at, Entry{marker, std::move(result)});
  }

  // Removes and returns the result for `marker`, if parked.
  std::optional<Result<decoder::DecodedCandidate>> remove(std::uint64_t marker) {
    auto at = std::lower_bound(entries_.begin() + head_, entries_.end(), marker,
                               [](const Entry& entry, std::uint64_t key) { return entry.marker < key; });
    if (at == entries_.end() || at->marker != marker) return std::nullopt;
    std::optional<Result<decoder::DecodedCandidate>> found(std::move(at->result));
    if (at == entries_.begin() + head_) {
      ++head_;
      compact();
    } else {
      entries_.erase(at);
    }
    return found;
  }

  // Drops every result below `marker`, front first.
  void drop_below(std::uint64_t marker) {
    while (head_ < entries_.size() && entries_[head_].marker < marker) {
      auto dropped = std::move(entries_[head_].result);
      ++head_;
    }
    compact();
  }

  std::size_t size() const { return entries_.size() - head_; }

  void clear() {
    entries_.clear();
    head_ = 0;
  }

 private:
  struct Entry {
    std::uint64_t marker;
    Result<decoder::DecodedCandidate> result;
  };

  // Entries before the head are spent; reclaim them once they are the majority.
  void compact() {
    if (head_ == entries_.size()) {
      clear();
    } else if (head_ >= 64 && head_ * 2 >= entries_.size()) {
      entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }

  std::vector<Entry> entries_;
  std::size_t head_ = 0;
};

}  // namespace morvane::decode
