// Reading a stored index file whole, for _IndexedReader.from_path.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "morvane/io_error.hpp"

namespace morvane::python {

// The file's whole contents, read the way Source::open reads an input.
// A path holding a NUL byte is refused.
std::expected<std::vector<std::uint8_t>, IoError> read_whole_file(const std::string& path);

}  // namespace morvane::python
