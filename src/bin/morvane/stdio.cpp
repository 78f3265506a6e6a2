#include "stdio.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace morvane::cli {
namespace {

std::span<const std::uint8_t> text_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::expected<void, IoError> write_fd_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (n == 0) return std::unexpected(IoError::custom(IoKind::WriteZero, "failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, IoError> StdoutWriter::write_all(std::span<const std::uint8_t> bytes) {
  return write_fd_all(STDOUT_FILENO, bytes);
}

std::expected<void, IoError> StdoutWriter::flush() {
  const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
  if (flags == -1) return std::unexpected(IoError::last_os_error());
  if ((flags & O_ACCMODE) == O_RDONLY) return std::unexpected(IoError::from_errno(EBADF));
  return {};
}

std::expected<void, IoError> write_stdout(std::string_view text) { return write_fd_all(STDOUT_FILENO, text_bytes(text)); }

void write_stderr(std::string_view text) { (void)write_fd_all(STDERR_FILENO, text_bytes(text)); }

void reopen_closed_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open() takes the lowest free number, which is this one.
      int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
      if (opened != fd && opened >= 0) ::close(opened);
    }
  }
}

}  // namespace morvane::cli
