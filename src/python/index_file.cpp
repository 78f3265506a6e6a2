#include "index_file.hpp"

#include "morvane/source.hpp"

namespace morvane::python {

// Opened the way every input is (a regular file mapped, anything else read to
// its end), then copied out so the image does not keep the file mapped.
std::expected<std::vector<std::uint8_t>, IoError> read_whole_file(const std::string& path) {
  auto source = Source::open(path);
  if (!source) return std::unexpected(std::move(source.error()));
  auto bytes = source->bytes();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace morvane::python
