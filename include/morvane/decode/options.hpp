// The options of a whole-input decode, their check and the thread count.
// DecodeOptions is a value; the functions may run on several threads at once.
#pragma once

#include <cstdint>

#include "morvane/error.hpp"

namespace morvane::decode {

// The memory limit of the program and of the module when none is given: 1 GiB.
inline constexpr std::uint64_t kDefaultMemoryLimit = std::uint64_t{1} << 30;  // bytes

struct DecodeOptions {
  // Worker threads; 0 means as many as the process may run at once.
  std::uint64_t threads;
  // Bytes of speculatively decoded output the parallel road may hold at once;
  // at least MAX_BLOCK_OUTPUT.
  std::uint64_t memory_limit;

  // `threads`, or for 0 the processors available to the process; at least 1.
  std::uint64_t resolved_threads() const;
};

// Refuses a memory limit below MAX_BLOCK_OUTPUT: every entry point checks this
// first, before the thread count is looked at.
Result<void> check_options(const DecodeOptions& options);

// The processors this process may run on: the CPUs of its affinity mask,
// capped by its cgroup CPU quota (floor(quota / period), at least 1); 1 when
// neither can be read.
std::uint64_t available_parallelism();

}  // namespace morvane::decode
