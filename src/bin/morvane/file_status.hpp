// What the file system says about a path: whether it exists, which file it
// is, and whether a move may replace it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace morvane::cli {

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
// The identity of the open file `fd` when it is a regular file.
std::optional<FileId> regular_file_id(int fd);

// Whether `path` exists and is not a regular file, nor a symbolic link whose
// chain ends at one: a device, a FIFO, a socket, a directory, a dangling link
// or a link to any of these (or through /proc, as /dev/stdout is), which a
// move must never replace.
bool is_special_file(const std::string& path);

}  // namespace morvane::cli
