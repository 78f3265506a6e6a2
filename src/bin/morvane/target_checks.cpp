#include "target_checks.hpp"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "file_status.hpp"
#include "input.hpp"
#include "paths.hpp"
#include "stdio.hpp"

namespace morvane::cli {

Result<void> check_not_input(const std::string& input, const std::string& target) {
  if (same_path(input, target) || same_file(input, target)) {
    return fail(Error::invalid_configuration("input and output are both " + display_path(input)));
  }
  return {};
}

Result<void> check_no_target_is_another_input(std::span<const std::string> inputs,
                                              std::span<const std::optional<std::string>> targets) {
  // Which inputs each path and each file is, so every target is looked up once.
  std::map<std::string, std::vector<std::size_t>> by_path;
  std::map<FileId, std::vector<std::size_t>> by_file;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    by_path[normal_path(inputs[i])].push_back(i);
    if (auto id = file_id(inputs[i])) by_file[*id].push_back(i);
  }
  auto another = [](const auto& owners, const auto& key, std::size_t i) {
    auto found = owners.find(key);
    return found != owners.end() && std::ranges::any_of(found->second, [i](std::size_t j) { return j != i; });
  };
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!targets[i]) continue;
    const std::string& target = *targets[i];
    auto id = file_id(target);
    if (another(by_path, normal_path(target), i) || (id && another(by_file, *id, i))) {
      return fail(Error::invalid_configuration(display_path(target) + " is both an input and the output of " +
                                               display_path(inputs[i])));
    }
  }
  return {};
}

Result<void> check_stdout_not_input(const std::string& input) {
  const auto out = regular_file_id(STDOUT_FILENO);
  if (!out) return {};
  const bool is_stdin = input == kStdinArgument;
  if (out == (is_stdin ? regular_file_id(STDIN_FILENO) : file_id(input))) {
    const std::string name = is_stdin ? std::string(kStdinName) : display_path(input);
    return fail(Error::invalid_configuration("input and output are both " + name));
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
