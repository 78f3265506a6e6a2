#include "input.hpp"

#include <unistd.h>

namespace morvane::cli {

Result<Input> open_input(const std::string& path) {
  auto source = Source::open(path);
  if (!source) return fail(Error::io(std::move(source.error())));
  return Input{std::move(*source), path};
}

Result<Input> load_input(const std::string& argument) {
  if (argument != kStdinArgument) return open_input(argument);
  auto bytes = read_to_end(STDIN_FILENO);
  if (!bytes) return fail(Error::io(std::move(bytes.error())));
  return Input{Source::from_vector(std::move(*bytes)), std::string(kStdinName)};
}

}  // namespace morvane::cli
