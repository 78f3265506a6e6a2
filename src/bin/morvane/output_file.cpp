#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string_view>

#include "paths.hpp"
#include "signals.hpp"
#include "stdio.hpp"

namespace morvane::cli {
namespace {

constexpr std::string_view kAlphanumerics = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr mode_t kTempMode = 0600;
constexpr mode_t kModeBits = 07777;  // permissions with the set-ID and sticky bits

std::string random_name() {
  static std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kAlphanumerics.size() - 1);
  std::string name(kTempPrefix);
  for (std::size_t i = 0; i < kTempRandomChars; ++i) name += kAlphanumerics[pick(generator)];
  return name;
}

// Moves without replacing: an atomic rename that refuses, or where the file
// system cannot do that, a hard link and the removal of the old name.
int rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (::link(from, to) != 0) return -1;
  if (::unlink(from) != 0) {
    // The temporary name must not survive a move: undo the link instead.
    const int err = errno;
    ::unlink(to);
    errno = err;
    return -1;
  }
  return 0;
}

}  // namespace

std::expected<TempFile, IoError> TempFile::create_in(const std::string& dir) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string path = join_path(dir, random_name());
    SignalsHeld held;
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, kTempMode);
    if (fd >= 0) {
      remove_on_signal(path);
      return TempFile(std::move(path), UniqueFd(fd));
    }
    if (errno != EEXIST) return std::unexpected(IoError::last_os_error());
  }
  return std::unexpected(IoError::custom(IoKind::AlreadyExists, "too many temporary files exist"));
}

std::expected<void, IoError> TempFile::write_all(std::span<const std::uint8_t> bytes) {
  return write_fd_all(fd_.get(), bytes);
}

std::expected<UniqueFd, IoError> TempFile::persist(const std::string& target, bool replace) {
  SignalsHeld held;
  int moved = replace ? ::rename(path_.c_str(), target.c_str()) : rename_no_replace(path_.c_str(), target.c_str());
  if (moved != 0) {
    IoError error = IoError::last_os_error();
    discard();
    return std::unexpected(std::move(error));
  }
  remove_nothing_on_signal();
  path_.clear();
  return std::move(fd_);
}

void TempFile::discard() {
  if (!path_.empty()) {
    SignalsHeld held;
    ::unlink(path_.c_str());
    remove_nothing_on_signal();
  }
  path_.clear();
  fd_.reset();
}

std::expected<void, IoError> copy_time_and_mode(int output_fd, const std::string& input) {
  struct stat in{};
  if (::stat(input.c_str(), &in) != 0) return std::unexpected(IoError::last_os_error());
  // Linux always reports a valid modification time, so the time is always copied.
  const std::array<timespec, 2> times = {timespec{0, UTIME_OMIT}, in.st_mtim};
  if (::futimens(output_fd, times.data()) != 0) return std::unexpected(IoError::last_os_error());

  struct stat out{};
  if (::fstat(output_fd, &out) != 0) return std::unexpected(IoError::last_os_error());
  mode_t mode = in.st_mode & kModeBits;
  // Copying set-ID bits onto a file of another owner would hand out that owner's rights.
  if (out.st_uid != in.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
  if (out.st_gid != in.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
  while (::fchmod(output_fd, mode) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::last_os_error());
  }
  return {};
}

}  // namespace morvane::cli
