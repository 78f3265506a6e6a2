// A writer and a progress callback that record every call a decode makes, in
// one record, so a test compares what two decodes handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "morvane/io_error.hpp"

namespace morvane::test {

struct Calls {
  std::vector<std::vector<std::uint8_t>> pieces;  // each write_all's bytes
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  int flushes = 0;
  bool operator==(const Calls&) const = default;
  std::vector<std::uint8_t> joined() const {
    std::vector<std::uint8_t> out;
    for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
  }
};

// Records every call; fails write_all number `fail_at` (from 1) with "disk full", accepting nothing of it.
struct CallWriter {
  Calls& calls;
  std::size_t fail_at = 0;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (calls.pieces.size() + 1 == fail_at) return std::unexpected(IoError::custom(IoKind::Other, "disk full"));
    calls.pieces.emplace_back(bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, IoError> flush() { return ++calls.flushes, std::expected<void, IoError>{}; }
};

// The progress callback that records into `calls`.
inline auto recorder(Calls& calls) {
  return [&calls](std::uint64_t at, std::uint64_t total) { calls.progress.emplace_back(at, total); };
}

}  // namespace morvane::test
