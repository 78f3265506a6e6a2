// A writer for benchmarks: counts the decoded bytes, so the decode cannot be
// optimised away, and keeps none of them.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "morvane/io_error.hpp"

struct CountingWriter {
  std::uint64_t bytes = 0;
  std::expected<void, morvane::IoError> write_all(std::span<const std::uint8_t> data) {
    bytes += data.size();
    return {};
  }
  std::expected<void, morvane::IoError> flush() { return {}; }
};
