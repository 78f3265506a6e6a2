#include "bin/morvane/target_checks.hpp"

#include <unistd.h>

#include "bin/morvane/output_file.hpp"
#include "bin/morvane/paths.hpp"
#include "bin/morvane/stdio.hpp"

namespace morvane::cli {

Result<void> check_not_input(const std::string& input, const std::string& target) {
  if (same_path(input, target) || same_file(input, target)) {
    return fail(Error::invalid_configuration("input and output are both " + display_path(input)));
  }
  return {};
}

Result<void> check_stdout_not_input(const std::string& input) {
  if (auto out = file_id(STDOUT_FILENO); out && out == file_id(input)) {
    return fail(Error::invalid_configuration("input and output are both " + display_path(input)));
  }
  return {};
}

Result<void> check_replaceable(const std::string& target) {
  if (is_special_file(target)) {
    return fail(Error::io(IoError::custom(IoKind::InvalidInput, display_path(target) + " is not a regular file")));
  }
  return {};
}

void skip_notice(const std::string& target, bool quiet) {
  if (!quiet) write_stderr("morvane: skipping existing " + display_path(target) + "\n");
}

Error already_exists(const std::string& target) {
  return Error::io(IoError::custom(IoKind::AlreadyExists, display_path(target) + " already exists (use --force)"));
}

}  // namespace morvane::cli
