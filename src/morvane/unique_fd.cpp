#include "morvane/unique_fd.hpp"

#include <unistd.h>

#include <cerrno>

namespace morvane {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::expected<void, IoError> UniqueFd::close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return std::unexpected(IoError::last_os_error());
  return {};
}

}  // namespace morvane
