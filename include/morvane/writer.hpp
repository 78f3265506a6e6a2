// The writer and progress contracts of every decode: a writer takes each
// block's whole output in one write_all and is flushed once at the end; the
// progress callback gets (compressed bytes consumed, decoded bytes so far).
// Both are template parameters of the engine: one instantiation per type, no
// indirect calls.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "morvane/io_error.hpp"

namespace morvane {

template <class W>
concept Writer = requires(W& w, std::span<const std::uint8_t> bytes) {
  { w.write_all(bytes) } -> std::same_as<std::expected<void, IoError>>;
  { w.flush() } -> std::same_as<std::expected<void, IoError>>;
};

template <class P>
concept Progress = std::invocable<P&, std::uint64_t, std::uint64_t>;

// Accepts and drops everything; never fails. Holds nothing, so it may be
// shared between threads.
struct DiscardWriter {
  std::expected<void, IoError> write_all(std::span<const std::uint8_t>) { return {}; }
  std::expected<void, IoError> flush() { return {}; }
};

// Appends to a growable byte vector. One thread at a time.
struct VectorWriter {
  std::vector<std::uint8_t>& out;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, IoError> flush() { return {}; }
};

// Reports nothing; holds nothing, so it may be shared between threads.
struct NoProgress {
  void operator()(std::uint64_t, std::uint64_t) const {}
};

}  // namespace morvane
