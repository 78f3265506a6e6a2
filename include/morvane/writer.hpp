// The writer and progress contracts of every decode: a writer takes each
// block's whole output in one write_all and is flushed once at the end; the
// progress callback gets (compressed bytes consumed, decoded bytes so far).
// The library's compiled entry points take any of them through WriterRef and
// ProgressRef: one indirect call per block.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <type_traits>
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

// A borrowed writer of any type; the writer must outlive it. Like the writer
// it refers to, one thread at a time.
class WriterRef {
 public:
  template <Writer W>
    requires(!std::same_as<std::remove_cv_t<W>, WriterRef>)
  WriterRef(W& writer)  // NOLINT: any writer converts
      : writer_(std::addressof(writer)),
        write_all_([](void* w, std::span<const std::uint8_t> bytes) { return static_cast<W*>(w)->write_all(bytes); }),
        flush_([](void* w) { return static_cast<W*>(w)->flush(); }) {}

  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) const {
    return write_all_(writer_, bytes);
  }
  std::expected<void, IoError> flush() const { return flush_(writer_); }

 private:
  void* writer_;
  std::expected<void, IoError> (*write_all_)(void*, std::span<const std::uint8_t>);
  std::expected<void, IoError> (*flush_)(void*);
};

// A borrowed progress callback of any type, or none (the default); the
// callback must outlive it. One thread at a time.
class ProgressRef {
 public:
  ProgressRef() = default;
  template <class P>
    requires(Progress<std::remove_reference_t<P>> && !std::same_as<std::remove_cvref_t<P>, ProgressRef>)
  ProgressRef(P&& progress)  // NOLINT: any callback converts
      : progress_(const_cast<void*>(static_cast<const void*>(std::addressof(progress)))),
        call_([](void* p, std::uint64_t consumed, std::uint64_t decoded) {
          (*static_cast<std::remove_reference_t<P>*>(p))(consumed, decoded);
        }) {}

  void operator()(std::uint64_t consumed, std::uint64_t decoded) const {
    if (call_ != nullptr) call_(progress_, consumed, decoded);
  }

 private:
  void* progress_ = nullptr;
  void (*call_)(void*, std::uint64_t, std::uint64_t) = nullptr;
};

}  // namespace morvane
