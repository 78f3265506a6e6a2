// The shared, read-only bytes of one compressed input: a whole-file mapping or
// an owned buffer behind an atomic reference count. Never written.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "morvane/io_error.hpp"

namespace morvane {

class Source {
 public:
  // Opens a file read-only. A regular file is mapped whole; anything else (a
  // FIFO, /dev/stdin) and a regular file that reports length 0 (an empty file,
  // a /proc file) has no useful length, so it is read to its end into an owned
  // buffer.
  static std::expected<Source, IoError> open(const std::string& path);
  // Takes the vector over without copying.
  static Source from_vector(std::vector<std::uint8_t> bytes);

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  struct Inner;
  Source(std::shared_ptr<const Inner> inner);
  std::shared_ptr<const Inner> inner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace morvane
