// What the fuzz targets share: a check that stops the run with a message, the
// tally of what the inputs reached (printed when the run ends), a fingerprint
// of decoded output that does not depend on how it was cut into writes, a
// writer that checks the writer and progress contract of every decode as the
// calls arrive, libbz2 as the oracle of whole inputs, and the small valid
// input of the reader target.
#pragma once

#include <blake3.h>
#include <bzlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/io_error.hpp"
#include "support/block_builder.hpp"
#include "support/fuzz_stream.hpp"

// A broken check is a finding: print it and abort, which libFuzzer reports
// as a crash and saves the input.
#define FUZZ_CHECK(cond) \
  ((cond) ? void(0) : ::morvane::fuzz::check_failed(#cond, __FILE__, __LINE__))

namespace morvane::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

// What one target's inputs reached. When the run ends (libFuzzer leaves
// through exit) a decoding target prints "morvane-fuzz: TARGET decoded N of
// M inputs", the line the short CI runs check the decoded share by; every
// target then prints its other counts on a line of their own.
class Reach {
 public:
  // The tally of this program's target, named on the first call. Never
  // destroyed: it must outlive the exit handler that prints it.
  static Reach& of(const char* target, bool decoding = true) {
    static Reach* const reach = new Reach(target, decoding);
    return *reach;
  }

  // One input and the outcome of the target's main decode. A refusal must
  // say what it refuses in both of its forms, as the program and the module
  // print them.
  template <class T>
  void input(const Result<T>& outcome) {
    ++inputs_;
    if (outcome) {
      ++decoded_;
      return;
    }
    FUZZ_CHECK(!outcome.error().display().empty() && !outcome.error().debug().empty());
  }
  // One built input: valid or with which damage, and how many false magics.
  void built(const test::FuzzStream& stream) {
    if (!stream.built) return add("raw");
    add(stream.valid() ? "valid" : "damaged");
    if (stream.planted != 0) add("planted magics");
  }
  void add(const std::string& what, std::uint64_t n = 1) { counts_[what] += n; }

 private:
  Reach(const char* target, bool decoding) : target_(target), decoding_(decoding) {
    std::atexit([] { of(nullptr).print(); });
  }

  void print() const {
    if (decoding_) {
      std::fprintf(stderr, "morvane-fuzz: %s decoded %llu of %llu inputs\n", target_,
                   static_cast<unsigned long long>(decoded_), static_cast<unsigned long long>(inputs_));
    }
    std::string line;
    for (const auto& [what, n] : counts_) line += (line.empty() ? "" : ", ") + what + " " + std::to_string(n);
    std::fprintf(stderr, "morvane-fuzz: %s reached: %s\n", target_, line.c_str());
  }

  const char* target_;
  bool decoding_;
  std::uint64_t inputs_ = 0, decoded_ = 0;
  std::map<std::string, std::uint64_t> counts_;
};

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
    progress_.emplace_back(consumed, decoded);
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

  // After a successful decode: one progress call at each block's end as
  // `index` has it (the byte holding its last bit, the bytes decoded up to
  // it), then the final one.
  void check_progress(const index::Index& index) const {
    FUZZ_CHECK(progress_.size() == index.blocks.size() + 1);
    for (std::size_t i = 0; i < index.blocks.size(); ++i) {
      const auto& block = index.blocks[i];
      FUZZ_CHECK(progress_[i].first == (block.compressed_end_bit + 7) / 8);
      FUZZ_CHECK(progress_[i].second == block.decoded_start + block.decoded_bytes);
    }
    FUZZ_CHECK(progress_.back() == std::pair(input_len_, index.decoded_bytes));
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
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress_;
  std::uint64_t consumed_ = 0;
  bool awaiting_progress_ = false;
  bool flushed_ = false;
  bool finished_ = false;
  bool refused_ = false;
};

// Decodes again, through `decode(writer)`, with a writer that refuses block
// `refuse_at` of `whole` (the writer of a successful decode of the same
// input): the decode must stop there with that error, after exactly the
// blocks before it.
template <class Decode>
void check_refusal(std::uint64_t input_len, const ContractWriter& whole, std::size_t refuse_at, Decode&& decode) {
  ContractWriter refusing(input_len, refuse_at);
  auto stopped = decode(refusing);
  refusing.check_end(false);
  FUZZ_CHECK(!stopped && stopped.error().template get_if<Error::Io>() != nullptr && refusing.refused());
  FUZZ_CHECK(refusing.sizes().size() == refuse_at);
  for (std::size_t i = 0; i < refuse_at; ++i) FUZZ_CHECK(refusing.sizes()[i] == whole.sizes()[i]);
}

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

inline Fingerprint fingerprint_of(std::span<const std::uint8_t> bytes) {
  Fingerprint f;
  f.add(bytes);
  return f;
}

inline std::array<std::uint8_t, 32> blake3_of(std::span<const std::uint8_t> bytes) {
  return fingerprint_of(bytes).digest();
}

// The knobs of a target (thread counts, limits, which write to refuse), read
// from the end of the fuzz bytes, apart from the stream the builder makes
// from their front; 0 past the start.
class Knobs {
 public:
  explicit Knobs(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t byte() { return at_ < bytes_.size() ? bytes_[bytes_.size() - 1 - at_++] : 0; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// libbz2's output for the whole input, decoded stream after stream; nothing
// when a stream fails or bytes that begin no stream follow the last one.
// (Link the target with libbz2.)
inline std::optional<Fingerprint> libbz2_decode(std::span<const std::uint8_t> input) {
  Fingerprint out;
  std::vector<char> buffer(1 << 16);
  std::size_t at = 0;
  while (at < input.size()) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return std::nullopt;
    // libbz2 takes at most 4 GiB at a time; fuzz inputs are far smaller.
    stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(input.data() + at));
    stream.avail_in = static_cast<unsigned>(input.size() - at);
    int status = BZ_OK;
    do {
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<unsigned>(buffer.size());
      status = BZ2_bzDecompress(&stream);
      const std::size_t produced = buffer.size() - stream.avail_out;
      out.add({reinterpret_cast<const std::uint8_t*>(buffer.data()), produced});
      // Out of input with room left for output: the stream is cut short.
      if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out != 0) status = BZ_UNEXPECTED_EOF;
    } while (status == BZ_OK);
    const std::size_t consumed = (input.size() - at) - stream.avail_in;
    BZ2_bzDecompressEnd(&stream);
    if (status != BZ_STREAM_END) return std::nullopt;
    at += consumed;
  }
  return out;
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
