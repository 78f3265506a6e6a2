// The process exit status of each outcome.
#pragma once

#include "morvane/error.hpp"

namespace morvane::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitIo = 1;         // I/O errors other than invalid data
inline constexpr int kExitUsage = 2;      // usage errors and invalid configurations
inline constexpr int kExitBadData = 3;    // damaged input, invalid index, output cap
inline constexpr int kExitBitAccess = 4;  // bit-access errors of the library

int exit_status(const Error& error);

}  // namespace morvane::cli
