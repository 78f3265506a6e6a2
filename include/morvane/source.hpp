// The shared, read-only bytes of one compressed input: a whole-file mapping or
// an owned buffer behind an atomic reference count. Never written.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "morvane/error.hpp"
#include "morvane/io_error.hpp"

namespace morvane {

// May be shared between threads: copies share the bytes through an atomic
// reference count, and nothing ever writes them.
class Source {
 public:
  // Opens a file read-only. A regular file is mapped whole; anything else (a
  // FIFO, /dev/stdin) and a regular file that reports length 0 (an empty file,
  // a /proc file) has no useful length, so it is read to its end into an owned
  // buffer, as read_input reads it.
  static std::expected<Source, IoError> open(const std::string& path);
  // Takes the vector over without copying.
  static Source from_vector(std::vector<std::uint8_t> bytes);

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Whatever was computed from the bytes may be trusted only while this holds:
  // a mapped file that another process truncated (or whose device failed)
  // reads as zeros where its pages were lost instead of faulting (see
  // mapping_guard.hpp), and from then on this is the I/O error "input file
  // was truncated or became unreadable during the decode". A truncation that
  // left the last page is found here too, by reading the mapping's last
  // byte. Owned bytes are always intact.
  std::expected<void, IoError> intact() const;

 private:
  struct Inner;
  Source(std::shared_ptr<const Inner> inner);
  std::shared_ptr<const Inner> inner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// The whole contents of the file at `path`, read into memory and never
// mapped, so a file that another process rewrites meanwhile gives whatever
// the reads returned rather than a fault. The length the file system reports
// only sizes the buffer; the reads decide the length. A file longer than
// `max_bytes` is refused before it is read when it reports its length, and
// read no further than that otherwise (a device may never end): the I/O error
// of kind InvalidData `too_long`. A path holding a NUL byte is refused, as by
// Source::open.
std::expected<std::vector<std::uint8_t>, IoError> read_file(const std::string& path, std::uint64_t max_bytes,
                                                            const char* too_long);

// A compressed input that cannot be mapped (standard input, a pipe, a device):
// everything `fd` gives from where it stands to its end, read into memory,
// interrupted reads retried. Its first bytes are checked as they arrive: one
// that no stream header has in its place ("BZh" and a level digit 1 to 9)
// ends the reading at once with an I/O error of kind InvalidData that carries
// Error::InvalidStreamHeader, so an endless input that cannot be bzip2 (such
// as /dev/zero) is not read on. An input that ends before a whole header is
// left to the decode.
std::expected<std::vector<std::uint8_t>, IoError> read_input(int fd);

// The library error for a failure of Source::open or read_input: the error an
// I/O error carries (the refused stream header), else Error::Io.
Error open_error(IoError error);

}  // namespace morvane
