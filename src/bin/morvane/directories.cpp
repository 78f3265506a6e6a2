#include "directories.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "paths.hpp"

namespace morvane::cli {
namespace {

constexpr mode_t kDirMode = 0777;

}  // namespace

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

}  // namespace morvane::cli
