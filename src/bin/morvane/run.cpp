#include "run.hpp"

#include <algorithm>

#include "decode_data.hpp"
#include "decode_mode.hpp"
#include "index_mode.hpp"
#include "input.hpp"
#include "list_mode.hpp"
#include "target_checks.hpp"

namespace morvane::cli {
namespace {

// --test: a full validating decode of every input, the output discarded.
Result<void> run_test(const Cli& cli, decode::DecodeOptions options) {
  for (const std::string& argument : cli.inputs) {
    // Nothing is written, yet a standard input that is standard output is
    // refused here as in every mode.
    if (argument == kStdinArgument) {
      if (auto checked = check_stdout_not_input(argument); !checked) return checked;
    }
    auto input = load_input(argument);
    if (!input) return fail(std::move(input.error()));
    DiscardWriter sink;
    auto decoded = decode_data(*input, sink, options, cli.max_output, cli.quiet);
    if (!decoded) return decoded;
  }
  return {};
}

}  // namespace

Result<void> run(Cli cli) {
  // These run before any input is touched: a failure creates, reads and prints nothing else.
  bool has_stdin = std::ranges::find(cli.inputs, kStdinArgument) != cli.inputs.end();
  if (cli.output && cli.inputs.size() != 1) {
    return fail(Error::invalid_configuration("--output requires exactly one input"));
  }
  if (has_stdin && cli.inputs.size() > 1) return fail(Error::invalid_configuration("stdin must be the only input"));
  if (has_stdin && (cli.index || cli.list)) {
    return fail(Error::invalid_configuration("stdin is supported only for decoding and --test"));
  }

  decode::DecodeOptions options{cli.threads, cli.memory_limit};
  if (cli.test) return run_test(cli, options);
  if (cli.index) return run_index(cli, options);
  if (cli.list) return run_list(cli, options);
  return run_decode(cli, options);
}

}  // namespace morvane::cli
