// The output directory of -C, made with its parents.
#pragma once

#include <expected>
#include <string>

#include "morvane/io_error.hpp"

namespace morvane::cli {

// Creates `dir` and every missing parent, each 0777 before the umask; an
// existing directory is fine.
std::expected<void, IoError> create_dir_all(const std::string& dir);

}  // namespace morvane::cli
