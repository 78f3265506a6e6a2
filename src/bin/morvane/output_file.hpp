// Output files that never hold partial data under their final name: a
// temporary file beside the target, moved onto it once complete.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <sys/types.h>
#include <span>
#include <string>
#include <utility>

#include "morvane/io_error.hpp"

namespace morvane::cli {

// An open descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release();
  void reset();
  // Closes the descriptor and reports the error close gives: network and
  // quota-limited file systems may report a failed write only here.
  std::expected<void, IoError> close();

 private:
  int fd_ = -1;
};

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

// Creates `dir` and every missing parent, each 0777 before the umask; an
// existing directory is fine.
std::expected<void, IoError> create_dir_all(const std::string& dir);

// Whether a status query on `path`, following symbolic links, succeeds.
bool path_exists(const std::string& path);

// Whether both paths name one existing file (same device and inode).
bool same_file(const std::string& a, const std::string& b);

// The identity of a file: device and inode.
struct FileId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileId&) const = default;
};
// The identity of what `path` names (following symbolic links), if it exists.
std::optional<FileId> file_id(const std::string& path);
std::optional<FileId> file_id(int fd);

// Whether `path` exists and is not a regular file, nor a symbolic link whose
// chain ends at one: a device, a FIFO, a socket, a directory, a dangling link
// or a link to any of these (or through /proc, as /dev/stdout is), which a
// move must never replace.
bool is_special_file(const std::string& path);

}  // namespace morvane::cli
