#include "file_status.hpp"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>

#include "paths.hpp"

namespace morvane::cli {
namespace {

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

std::optional<FileId> regular_file_id(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

bool is_special_file(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return !leads_to_regular_file(path);
  return !S_ISREG(st.st_mode);
}

}  // namespace morvane::cli
