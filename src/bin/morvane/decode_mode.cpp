#include "decode_mode.hpp"

#include <unistd.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "decode_data.hpp"
#include "directories.hpp"
#include "file_status.hpp"
#include "input.hpp"
#include "output_file.hpp"
#include "paths.hpp"
#include "stdio.hpp"
#include "target_checks.hpp"

namespace morvane::cli {
namespace {

// Where one input's decoded data goes: nothing for standard output, else the path.
std::optional<std::string> choose_target(const Cli& cli, const std::string& input) {
  if (input == kStdinArgument) return std::nullopt;
  if (cli.output) {
    if (same_path(*cli.output, kStdinArgument)) return std::nullopt;
    return *cli.output;
  }
  if (cli.output_dir) {
    auto name = file_name(input);
    return join_path(*cli.output_dir, default_output(name ? *name : std::string_view(input)));
  }
  return default_output(input);
}

Result<void> remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return fail(Error::io(IoError::last_os_error()));
  return {};
}

Result<void> decode_to_stdout(const Cli& cli, const std::string& argument, decode::DecodeOptions options) {
  // `morvane -o - --rm a.bz2 >> a.bz2` would append to the input and then remove it.
  if (auto checked = check_stdout_not_input(argument); !checked) return checked;
  auto input = load_input(argument);
  if (!input) return fail(std::move(input.error()));
  StdoutWriter out;
  auto decoded = decode_data(*input, out, options, cli.max_output, cli.quiet);
  if (!decoded) return decoded;
  if (cli.remove_input && argument != kStdinArgument) return remove_file(argument);
  return {};
}

// The outputs this run has written, by identity, so that a later input whose
// target is one of them (two inputs of one name under -C, or an output name
// that is another input's output) cannot replace it and lose its data.
using WrittenFiles = std::set<FileId>;

Result<void> decode_to_file(const Cli& cli, const std::string& input_path, const std::string& target,
                            decode::DecodeOptions options, WrittenFiles& written) {
  if (auto checked = check_not_input(input_path, target); !checked) return checked;
  if (cli.skip_existing && path_exists(target)) {
    skip_notice(target, cli.quiet);
    return {};
  }
  auto input = open_input(input_path);  // so a missing input is reported even when its target exists
  if (!input) return fail(std::move(input.error()));
  if (!cli.force && path_exists(target)) return fail(already_exists(target));
  if (auto replaceable = check_replaceable(target); !replaceable) return replaceable;
  if (auto id = file_id(target); id && written.contains(*id)) {
    return fail(Error::invalid_configuration(display_path(target) + " is the output of an earlier input"));
  }

  auto temp = TempFile::create_in(parent_dir(target));
  if (!temp) return fail(Error::io(std::move(temp.error())));
  // The progress line ends before any error line and before the move.
  auto decoded = decode_data(*input, *temp, options, cli.max_output, cli.quiet);
  if (!decoded) return decoded;  // the temporary file is removed with `temp`

  // Checked again: a special file may have taken the name during the decode.
  if (auto replaceable = check_replaceable(target); !replaceable) return replaceable;
  // Without --force the move refuses to replace a target that appeared meanwhile.
  auto moved = temp->persist(target, cli.force);
  if (!moved) return fail(Error::io(std::move(moved.error())));
  // Through the still-open descriptor: a link swapped in at the target's name
  // after the move cannot redirect the input's time and mode to another file.
  if (auto copied = copy_time_and_mode(moved->get(), input_path); !copied) {
    return fail(Error::io(std::move(copied.error())));
  }
  if (auto id = file_id(moved->get())) written.insert(*id);
  if (auto closed = moved->close(); !closed) {
    // A write that failed only at close: the output is incomplete, so it is
    // removed and the input is kept.
    ::unlink(target.c_str());
    return fail(Error::io(std::move(closed.error())));
  }
  if (cli.remove_input) return remove_file(input_path);
  return {};
}

}  // namespace

Result<void> run_decode(const Cli& cli, decode::DecodeOptions options) {
  // The folder first, so that the targets are compared with the inputs as the
  // files they will be: "nd/.." is the current folder only once nd exists.
  if (cli.output_dir) {
    if (auto made = create_dir_all(*cli.output_dir); !made) return fail(Error::io(std::move(made.error())));
  }
  std::vector<std::optional<std::string>> targets;
  for (const std::string& input : cli.inputs) targets.push_back(choose_target(cli, input));
  if (auto checked = check_no_target_is_another_input(cli.inputs, targets); !checked) return checked;
  WrittenFiles written;
  for (std::size_t i = 0; i < cli.inputs.size(); ++i) {
    const std::string& input = cli.inputs[i];
    auto done = targets[i] ? decode_to_file(cli, input, *targets[i], options, written)
                           : decode_to_stdout(cli, input, options);
    if (!done) return done;
  }
  return {};
}

}  // namespace morvane::cli
