#include "index_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace morvane::python {

namespace {

// Index images are small; a reported size beyond this is not trusted for the
// first allocation (the buffer still grows to whatever the file holds).
inline constexpr std::size_t kLargestSizeHint = std::size_t{1} << 30;
inline constexpr std::size_t kMinimumRead = 8192;

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::expected<std::vector<std::uint8_t>, IoError> read_whole_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::unexpected(IoError::last_os_error());

  std::size_t hint = 0;
  struct stat status {};
  if (::fstat(file.fd, &status) == 0 && status.st_size > 0) {
    hint = static_cast<std::size_t>(status.st_size);
    if (hint > kLargestSizeHint) hint = kLargestSizeHint;
  }
  // One byte over the reported size, so the read that sees end of file needs no growth.
  std::vector<std::uint8_t> out(hint + 1 > kMinimumRead ? hint + 1 : kMinimumRead);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(file.fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  out.resize(used);
  return out;
}

}  // namespace morvane::python
