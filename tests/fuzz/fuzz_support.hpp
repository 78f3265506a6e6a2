// What the fuzz targets share: a check that stops the run with a message, a
// fingerprint of decoded output that does not depend on how it was cut into
// writes, a writer that checks the writer and progress contract of every
// decode as the calls arrive, and the small valid input of the reader target.
#pragma once

#include <blake3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/io_error.hpp"
#include "support/block_builder.hpp"

// A broken check is a finding: print it and abort, which libFuzzer reports
// as a crash and saves the input.
#define FUZZ_CHECK(cond) \
  ((cond) ? void(0) : ::morvane::fuzz::check_failed(#cond, __FILE__, __LINE__))

namespace morvane::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

// Length and BLAKE3 of a byte sequence given in pieces of any size.
class Fingerprint {
 public:
  Fingerprint() { blake3_hasher_init(&hasher_); }
  void add(std::span<const std::uint8_t> bytes) {
    blake3_hasher_update(&hasher_, bytes.data(), bytes.size());
    length_ += bytes.size();
  }
  std::uint64_t length() const { return length_; }
  std::array<std::uint8_t, 32> digest() const {
    std::array<std::uint8_t, 32> out;
    blake3_hasher_finalize(&hasher_, out.data(), out.size());
    return out;
  }
  bool operator==(const Fingerprint& other) const { return length_ == other.length_ && digest() == other.digest(); }

 private:
  blake3_hasher hasher_;
  std::uint64_t length_ = 0;
};

// A writer that fingerprints what it gets and checks, call by call, what every
// decode promises: each block in one non-empty write of at most
// MAX_BLOCK_OUTPUT bytes followed by one progress call, positions that never
// go back, and on success one flush and then the final call (input length,
// total). With `refuse_at` the write of that number fails.
class ContractWriter {
 public:
  explicit ContractWriter(std::uint64_t input_len, std::optional<std::size_t> refuse_at = std::nullopt)
      : input_len_(input_len), refuse_at_(refuse_at) {}

  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    on_calling_thread();
    FUZZ_CHECK(!flushed_ && !refused_);
    FUZZ_CHECK(!awaiting_progress_);
    FUZZ_CHECK(!bytes.empty() && bytes.size() <= MAX_BLOCK_OUTPUT);
    if (refuse_at_ == sizes_.size()) {
      refused_ = true;
      return std::unexpected(IoError::custom(IoKind::BrokenPipe, "refused by the fuzz writer"));
    }
    output_.add(bytes);
    sizes_.push_back(bytes.size());
    awaiting_progress_ = true;
    return {};
  }

  std::expected<void, IoError> flush() {
    on_calling_thread();
    FUZZ_CHECK(!flushed_ && !refused_ && !awaiting_progress_);
    flushed_ = true;
    return {};
  }

  void progress(std::uint64_t consumed, std::uint64_t decoded) {
    on_calling_thread();
    FUZZ_CHECK(awaiting_progress_ || (flushed_ && !finished_));
    FUZZ_CHECK(consumed >= consumed_ && consumed <= input_len_);
    FUZZ_CHECK(decoded == output_.length());
    if (flushed_) {
      FUZZ_CHECK(consumed == input_len_);
      finished_ = true;
    }
    awaiting_progress_ = false;
    consumed_ = consumed;
  }

  // The callback to hand to a decode.
  auto callback() {
    return [this](std::uint64_t consumed, std::uint64_t decoded) { progress(consumed, decoded); };
  }

  // After the decode returned: the calls end where its outcome says they must.
  void check_end(bool succeeded) const {
    FUZZ_CHECK(!awaiting_progress_);
    if (succeeded) {
      FUZZ_CHECK(flushed_ && finished_ && !refused_);
    } else {
      FUZZ_CHECK(!flushed_ && !finished_);
    }
  }

  const Fingerprint& output() const { return output_; }
  // The size of every accepted write, in order.
  const std::vector<std::uint64_t>& sizes() const { return sizes_; }
  bool refused() const { return refused_; }

 private:
  void on_calling_thread() const { FUZZ_CHECK(std::this_thread::get_id() == owner_); }

  std::thread::id owner_ = std::this_thread::get_id();
  std::uint64_t input_len_;
  std::optional<std::size_t> refuse_at_;
  Fingerprint output_;
  std::vector<std::uint64_t> sizes_;
  std::uint64_t consumed_ = 0;
  bool awaiting_progress_ = false;
  bool flushed_ = false;
  bool finished_ = false;
  bool refused_ = false;
};

// A writer that only fingerprints.
struct FingerprintWriter {
  Fingerprint& out;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    out.add(bytes);
    return {};
  }
  std::expected<void, IoError> flush() { return {}; }
};

inline std::uint64_t le64(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v |= std::uint64_t{bytes[at + i]} << (8 * i);
  return v;
}

inline std::array<std::uint8_t, 32> blake3_of(std::span<const std::uint8_t> bytes) {
  Fingerprint f;
  f.add(bytes);
  return f.digest();
}

// The input of the reader target: three streams (levels 1, 9 and 5) of three,
// zero and two blocks, each block a few hundred bytes with runs, so that any
// level can decode any of them.
inline std::vector<std::uint8_t> reader_input() {
  auto chunk = [](std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < n; ++i) {
      x = x * 1103515245 + 12345;
      bytes[i] = (x >> 20) % 5 == 0 ? bytes[i ? i - 1 : 0] : static_cast<std::uint8_t>('a' + (x >> 16) % 20);
    }
    return bytes;
  };
  const std::vector<std::vector<std::uint8_t>> first = {chunk(300, 1), chunk(41, 2), chunk(700, 3)};
  const std::vector<std::vector<std::uint8_t>> third = {chunk(1, 4), chunk(257, 5)};
  std::vector<std::uint8_t> input = test::make_stream(1, first);
  for (const auto& part : {test::make_stream(9, {}), test::make_stream(5, third)}) {
    input.insert(input.end(), part.begin(), part.end());
  }
  return input;
}

}  // namespace morvane::fuzz
