// Whether a block that is being read is still wanted. The speculative engine
// reads candidates that may lie inside another block; once the chain of real
// blocks has moved past a candidate's start, nobody will ask for it, and its
// reader gives up instead of decoding up to 900000 symbols for nothing.
#pragma once

#include <atomic>
#include <cstdint>

namespace morvane::decoder {

struct Wanted {
  // The first bit the chain may still need; nullptr: every block is wanted.
  const std::atomic<std::uint64_t>* chain_at = nullptr;
  std::uint64_t block_start = 0;  // first bit of the block's magic

  bool operator()() const {
    return chain_at == nullptr || chain_at->load(std::memory_order_relaxed) <= block_start;
  }
};

}  // namespace morvane::decoder
