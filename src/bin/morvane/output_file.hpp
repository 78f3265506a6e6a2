// Output files that never hold partial data under their final name: a
// temporary file beside the target, moved onto it once complete and given the
// input's time and mode.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "morvane/io_error.hpp"
#include "morvane/unique_fd.hpp"

namespace morvane::cli {

// ".tmp" and this many random letters or digits.
inline constexpr std::string_view kTempPrefix = ".tmp";
inline constexpr std::size_t kTempRandomChars = 6;
// Fresh names tried before creation gives up.
inline constexpr int kTempAttempts = 1 << 16;

// A new file, created exclusively with permission bits 0600 (before the umask),
// and removed again unless it is moved onto its target.
class TempFile {
 public:
  static std::expected<TempFile, IoError> create_in(const std::string& dir);
  TempFile(TempFile&& other) noexcept : path_(std::exchange(other.path_, {})), fd_(std::move(other.fd_)) {}
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() { discard(); }

  const std::string& path() const { return path_; }

  // The writer contract of a decode; nothing is buffered, so flush does nothing.
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes);
  std::expected<void, IoError> flush() { return {}; }

  // Moves the file onto `target`: with `replace` by a rename that replaces any
  // file there, otherwise only if nothing is there (AlreadyExists if something
  // is). Returns the file's descriptor, still open; on failure the temporary
  // file is removed.
  std::expected<UniqueFd, IoError> persist(const std::string& target, bool replace);

 private:
  TempFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  void discard();

  std::string path_;
  UniqueFd fd_;
};

// The input's modification time (to the nanosecond; access time untouched) and
// then its permission bits, applied through the moved output's descriptor.
// The set-user-ID bit is dropped unless the output has the input's owner, the
// set-group-ID bit unless it has the input's group.
std::expected<void, IoError> copy_time_and_mode(int output_fd, const std::string& input);

}  // namespace morvane::cli
