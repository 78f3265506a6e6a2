// The process's standard streams, used directly through their descriptors:
// decoded data and images go out in whole blocks, so there is nothing to buffer.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "morvane/io_error.hpp"

namespace morvane::cli {

// Writes all of `bytes` to `fd`, retrying interrupted writes; a write that
// takes nothing is "failed to write whole buffer".
std::expected<void, IoError> write_fd_all(int fd, std::span<const std::uint8_t> bytes);

// Standard output as a decode writer.
struct StdoutWriter {
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes);
  // Nothing is buffered; this only refuses a standard output that takes no
  // writes (found closed at start), so that an input that decodes to nothing
  // fails on it as every other input does.
  std::expected<void, IoError> flush();
};

// Text to standard output; the lost output of a failed write is reported.
std::expected<void, IoError> write_stdout(std::string_view text);

// Text to standard error; failures are ignored (there is nowhere left to report them).
void write_stderr(std::string_view text);

// Descriptors 0-2 that are closed at start-up are opened on /dev/null, so no
// file the program opens later can become one of them, and opened so that
// using them fails as using a closed descriptor does (EBADF): 0 for writing
// only, 1 and 2 for reading only. Decoded data is never lost into /dev/null.
void reopen_closed_standard_fds();

}  // namespace morvane::cli
