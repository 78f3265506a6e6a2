#include "output_file.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <string_view>

#include "paths.hpp"
#include "stdio.hpp"

namespace morvane::cli {
namespace {

constexpr std::string_view kAlphanumerics = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr mode_t kTempMode = 0600;
constexpr mode_t kDirMode = 0777;
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

// Links followed before a chain counts as a loop, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;

std::optional<std::string> read_link(const std::string& path) {
  std::string target(PATH_MAX, '\0');
  ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n < 0 || static_cast<std::size_t>(n) == target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(n));
  return target;
}

bool in_procfs_dir(const std::string& path) {
  struct statfs fs{};
  return ::statfs(parent_dir(path).c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Whether the chain of symbolic links that starts at `path` ends at a regular
// file. A link under /proc (/proc/self/fd/1, where /dev/stdout leads) stands
// for an open descriptor, not for the file it names, so a chain through one
// never counts: writing a file in place of /dev/stdout would take standard
// output's place even when that is a regular file.
bool leads_to_regular_file(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return false;  // the chain ends nowhere
    if (!S_ISLNK(st.st_mode)) return S_ISREG(st.st_mode);
    if (in_procfs_dir(path)) return false;
    auto next = read_link(path);
    if (!next) return false;
    path = join_path(parent_dir(path), *next);
  }
  return false;
}

}  // namespace

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

std::expected<void, IoError> UniqueFd::close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return std::unexpected(IoError::last_os_error());
  return {};
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::expected<TempFile, IoError> TempFile::create_in(const std::string& dir) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string path = join_path(dir, random_name());
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, kTempMode);
    if (fd >= 0) return TempFile(std::move(path), UniqueFd(fd));
    if (errno != EEXIST) return std::unexpected(IoError::last_os_error());
  }
  return std::unexpected(IoError::custom(IoKind::AlreadyExists, "too many temporary files exist"));
}

std::expected<void, IoError> TempFile::write_all(std::span<const std::uint8_t> bytes) {
  return write_fd_all(fd_.get(), bytes);
}

std::expected<UniqueFd, IoError> TempFile::persist(const std::string& target, bool replace) {
  int moved = replace ? ::rename(path_.c_str(), target.c_str()) : rename_no_replace(path_.c_str(), target.c_str());
  if (moved != 0) {
    IoError error = IoError::last_os_error();
    discard();
    return std::unexpected(std::move(error));
  }
  path_.clear();
  return std::move(fd_);
}

void TempFile::discard() {
  if (!path_.empty()) ::unlink(path_.c_str());
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

std::expected<void, IoError> create_dir_all(const std::string& dir) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), kDirMode) == 0) return {};
  int err = errno;
  struct stat st{};
  if (err == ENOENT) {
    std::string parent = parent_dir(dir);
    if (parent != dir && parent != "." && parent != "/") {
      if (auto made = create_dir_all(parent); !made) return made;
      if (::mkdir(dir.c_str(), kDirMode) == 0) return {};
      err = errno;
    }
  }
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return std::unexpected(IoError::from_errno(err));
}

bool path_exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<FileId> file_id(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

std::optional<FileId> file_id(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

bool is_special_file(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return !leads_to_regular_file(path);
  return !S_ISREG(st.st_mode);
}

}  // namespace morvane::cli
