#include "support/bz2_tools.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace morvane::test {

TempFile::TempFile(std::string_view stem) {
  std::string pattern = ::testing::TempDir();
  if (pattern.empty() || pattern.back() != '/') pattern += '/';
  pattern += "morvane_";
  pattern += stem;
  pattern += "_XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed for " + pattern);
  ::close(fd);
  path_ = pattern;
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::vector<std::uint8_t>> run_filter(const std::string& command, std::span<const std::uint8_t> input) {
  TempFile in("in"), out("out");
  write_file(in.path(), input);
  std::string line = command + " < '" + in.path() + "' > '" + out.path() + "' 2>/dev/null";
  int status = std::system(line.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return read_file(out.path());
}

namespace {

std::vector<std::uint8_t> compress_with(const std::string& command, std::span<const std::uint8_t> data) {
  auto out = run_filter(command, data);
  if (!out) {
    ADD_FAILURE() << "compressor failed: " << command;
    return {};
  }
  return *out;
}

std::string python_call(const std::string& expression) {
  return std::string(MORVANE_PYTHON) + " -c 'import bz2, sys; sys.stdout.buffer.write(" + expression + ")'";
}

}  // namespace

std::vector<std::uint8_t> bzip2_compress(std::span<const std::uint8_t> data, int level) {
  return compress_with("bzip2 -c -" + std::to_string(level), data);
}

std::vector<std::uint8_t> pbzip2_compress(std::span<const std::uint8_t> data, int level, int chunk_100k) {
  return compress_with("pbzip2 -c -p2 -" + std::to_string(level) + " -b" + std::to_string(chunk_100k), data);
}

std::vector<std::uint8_t> python_bz2_compress(std::span<const std::uint8_t> data, int level) {
  return compress_with(python_call("bz2.compress(sys.stdin.buffer.read(), " + std::to_string(level) + ")"), data);
}

std::optional<std::vector<std::uint8_t>> bzip2_decompress(std::span<const std::uint8_t> compressed) {
  return run_filter("bzip2 -d -c", compressed);
}

std::optional<std::vector<std::uint8_t>> python_bz2_decompress(std::span<const std::uint8_t> compressed) {
  return run_filter(python_call("bz2.decompress(sys.stdin.buffer.read())"), compressed);
}

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

std::vector<std::uint8_t> text_bytes(std::size_t n, std::uint64_t seed) {
  static constexpr const char* kWords[] = {"the", "block", "stream", "of", "bits", "and", "a", "decoder",
                                           "table", "run", "    ", "zzzzzzzz", "morvane", "\n", ", ", "."};
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> out;
  out.reserve(n + 16);
  while (out.size() < n) {
    std::string_view word = kWords[rng() % std::size(kWords)];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back(' ');
  }
  out.resize(n);
  return out;
}

std::vector<std::uint8_t> concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace morvane::test
