#include "index_mode.hpp"

#include <unistd.h>

#include "index_data.hpp"
#include "file_status.hpp"
#include "input.hpp"
#include "output_file.hpp"
#include "paths.hpp"
#include "stdio.hpp"
#include "target_checks.hpp"

namespace morvane::cli {
namespace {

Result<void> write_index_file(const std::vector<std::uint8_t>& image, const std::string& path, bool force) {
  auto temp = TempFile::create_in(parent_dir(path));
  if (!temp) return fail(Error::io(std::move(temp.error())));
  if (auto written = temp->write_all(image); !written) return fail(Error::io(std::move(written.error())));
  // Checked again: a special file may have taken the name during the decode.
  if (auto replaceable = check_replaceable(path); !replaceable) return replaceable;
  // The index keeps the temporary file's permissions; nothing of the input is copied.
  auto moved = temp->persist(path, force);
  if (!moved) return fail(Error::io(std::move(moved.error())));
  if (auto closed = moved->close(); !closed) {
    ::unlink(path.c_str());
    return fail(Error::io(std::move(closed.error())));
  }
  return {};
}

// Where an input's index goes: nothing for standard output, else the path.
std::optional<std::string> index_target(const Cli& cli, const std::string& input_path) {
  std::string path = cli.output ? *cli.output : input_path + index::kIndexSuffix;
  if (same_path(path, kStdinArgument)) return std::nullopt;
  return path;
}

Result<void> index_one(const Cli& cli, const std::string& input_path, const std::optional<std::string>& target,
                       decode::DecodeOptions options) {
  const bool to_stdout = !target;
  const std::string path = target.value_or(std::string());
  if (to_stdout) {
    if (auto checked = check_stdout_not_input(input_path); !checked) return checked;
  } else {
    // Without this, --force -o a.bz2 a.bz2 would replace the input with its index.
    if (auto checked = check_not_input(input_path, path); !checked) return checked;
    if (cli.skip_existing && path_exists(path)) {
      skip_notice(path, cli.quiet);
      return {};
    }
  }
  auto input = open_input(input_path);
  if (!input) return fail(std::move(input.error()));
  if (!to_stdout) {
    // Before the decode, which a target that can never be replaced would waste.
    if (auto replaceable = check_replaceable(path); !replaceable) return replaceable;
  }
  auto built = build_index_data(*input, options, cli.max_output, cli.quiet);
  if (!built) return fail(std::move(built.error()));
  std::vector<std::uint8_t> image = built->to_bytes();

  if (to_stdout) {
    if (auto written = StdoutWriter{}.write_all(image); !written) return fail(Error::io(std::move(written.error())));
    return {};
  }
  // Only now, after the whole decode: an existing index is refused without --force.
  if (!cli.force && path_exists(path)) return fail(already_exists(path));
  return write_index_file(image, path, cli.force);
}

}  // namespace

Result<void> run_index(const Cli& cli, decode::DecodeOptions options) {
  std::vector<std::optional<std::string>> targets;
  for (const std::string& input : cli.inputs) targets.push_back(index_target(cli, input));
  if (auto checked = check_no_target_is_another_input(cli.inputs, targets); !checked) return checked;
  for (std::size_t i = 0; i < cli.inputs.size(); ++i) {
    if (auto done = index_one(cli, cli.inputs[i], targets[i], options); !done) return done;
  }
  return {};
}

}  // namespace morvane::cli
