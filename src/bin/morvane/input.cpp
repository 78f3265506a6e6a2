#include "input.hpp"

#include <unistd.h>

namespace morvane::cli {

Result<Input> open_input(const std::string& path) {
  auto source = Source::open(path);
  if (!source) return fail(open_error(std::move(source.error())));
  return Input{std::move(*source), path};
}

Result<Input> load_input(const std::string& argument) {
  if (argument != kStdinArgument) return open_input(argument);
  auto bytes = read_input(STDIN_FILENO);
  if (!bytes) return fail(open_error(std::move(bytes.error())));
  return Input{Source::from_vector(std::move(*bytes)), std::string(kStdinName)};
}

}  // namespace morvane::cli
