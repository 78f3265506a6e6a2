// Test helpers around the reference compressors (the distribution's bzip2 and
// pbzip2, Python's bz2), run out of process, plus temporary files and data.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "morvane/error.hpp"

namespace morvane {
// Lets GoogleTest show an Error by its message.
inline void PrintTo(const Error& error, std::ostream* os) { *os << error.display(); }
}  // namespace morvane

namespace morvane::test {

// A file in the test temporary folder with a unique name, removed when dropped.
class TempFile {
 public:
  explicit TempFile(std::string_view stem = "file");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file(const std::string& path, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> read_file(const std::string& path);

// Runs `command` through the shell with `input` on its standard input; gives
// its standard output, or nothing when it exits with a status other than 0.
std::optional<std::vector<std::uint8_t>> run_filter(const std::string& command, std::span<const std::uint8_t> input);

// Each compressor at a level 1..9; a failure to run one fails the calling test.
std::vector<std::uint8_t> bzip2_compress(std::span<const std::uint8_t> data, int level = 9);
// pbzip2 writes one stream per chunk of `chunk_100k` x 100000 input bytes.
std::vector<std::uint8_t> pbzip2_compress(std::span<const std::uint8_t> data, int level = 9, int chunk_100k = 1);
std::vector<std::uint8_t> python_bz2_compress(std::span<const std::uint8_t> data, int level = 9);
// The reference decoders: the decoded bytes, or nothing when they refuse the input.
std::optional<std::vector<std::uint8_t>> bzip2_decompress(std::span<const std::uint8_t> compressed);
std::optional<std::vector<std::uint8_t>> python_bz2_decompress(std::span<const std::uint8_t> compressed);

// Deterministic data: uniformly random bytes, and text-like bytes (words from
// a small vocabulary, lines and runs) that compress well.
std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint64_t seed = 1);
std::vector<std::uint8_t> text_bytes(std::size_t n, std::uint64_t seed = 1);

std::vector<std::uint8_t> concat(std::initializer_list<std::span<const std::uint8_t>> parts);

// The bytes of a text.
inline std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace morvane::test
