// The --max-output cap: a writer wrapper that refuses, whole, the first block
// that would take one input's decoded size past the cap.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "size_text.hpp"
#include "morvane/io_error.hpp"
#include "morvane/writer.hpp"

namespace morvane::cli {

template <Writer W>
class LimitedWriter {
 public:
  LimitedWriter(std::optional<std::uint64_t> limit, W& inner) : limit_(limit), inner_(inner) {}

  // The engine hands over each block in one call, so the cap works per block:
  // reaching it exactly is allowed, passing it refuses the block and keeps the
  // earlier ones.
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return {};
    std::uint64_t n = bytes.size();
    std::uint64_t after = written_ > UINT64_MAX - n ? UINT64_MAX : written_ + n;
    if (limit_ && after > *limit_) {
      return std::unexpected(IoError::custom(IoKind::InvalidData, "decoded output exceeds " + size_text(*limit_)));
    }
    auto done = inner_.write_all(bytes);
    if (!done) return done;
    written_ = after;
    return {};
  }

  std::expected<void, IoError> flush() { return inner_.flush(); }

  std::uint64_t written() const { return written_; }

 private:
  std::optional<std::uint64_t> limit_;
  W& inner_;
  std::uint64_t written_ = 0;
};

}  // namespace morvane::cli
