#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <expected>
#include <iostream>
#include <memory>

#include "exit_status.hpp"
#include "help.hpp"
#include "parse_size.hpp"
#include "paths.hpp"
#include "stdio.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/version.hpp"

namespace morvane::cli {
namespace {

// The option values as given; converted and checked once parsing is done.
struct RawValues {
  std::vector<std::string> inputs;
  std::optional<std::string> output;
  std::optional<std::string> output_dir;
  std::optional<std::string> threads;
  std::optional<std::string> memory_limit;
  std::optional<std::string> max_output;
};

constexpr std::string_view kNotUtf8 = "invalid UTF-8 was detected in one or more arguments";
constexpr std::string_view kEmptyPath = "a path must not be empty";

// A decimal u64 with an optional leading "+", as the usual integer syntax has it;
// no blanks, no minus sign and no wrap-around past 2^64 - 1.
std::expected<std::uint64_t, std::string> parse_count(std::string_view text) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  std::string_view digits = text.front() == '+' ? text.substr(1) : text;
  if (digits.empty()) return std::unexpected("invalid digit found in string");
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return std::unexpected("number too large to fit in target type");
    value = value * 10 + d;
  }
  return value;
}

struct UsageError {
  std::string message;
};

std::string invalid_value(std::string_view value, std::string_view option, std::string_view value_name,
                          std::string_view reason) {
  return "invalid value '" + std::string(value) + "' for '" + std::string(option) + " <" + std::string(value_name) +
         ">': " + std::string(reason);
}

std::expected<std::uint64_t, UsageError> size_value(std::string_view value, std::string_view option,
                                                    std::string_view value_name) {
  if (!is_utf8(value)) return std::unexpected(UsageError{std::string(kNotUtf8)});
  auto size = parse_size(value);
  if (!size) return std::unexpected(UsageError{invalid_value(value, option, value_name, size.error())});
  return *size;
}

// Fills the Cli from what the parser collected: the checks the parser does
// not do itself (UTF-8, the integer and size syntax), then the conversions.
std::expected<Cli, UsageError> finish(Cli cli, RawValues raw) {
  for (const std::string& input : raw.inputs) {
    if (!is_utf8(input)) return std::unexpected(UsageError{std::string(kNotUtf8)});
  }
  cli.inputs = std::move(raw.inputs);
  // An empty path names no file: "-o ''" would decode everything and fail only
  // at the move, and "-C ''" would write beside the current folder's inputs.
  if (raw.output && raw.output->empty()) {
    return std::unexpected(UsageError{invalid_value("", "--output", "OUTPUT", kEmptyPath)});
  }
  if (raw.output_dir && raw.output_dir->empty()) {
    return std::unexpected(UsageError{invalid_value("", "--output-dir", "OUTPUT_DIR", kEmptyPath)});
  }
  cli.output = std::move(raw.output);
  cli.output_dir = std::move(raw.output_dir);
  if (raw.threads) {
    auto threads = parse_count(*raw.threads);
    if (!threads) return std::unexpected(UsageError{invalid_value(*raw.threads, "--threads", "THREADS", threads.error())});
    cli.threads = *threads;
  }
  cli.memory_limit = decode::kDefaultMemoryLimit;
  if (raw.memory_limit) {
    auto memory = size_value(*raw.memory_limit, "--memory-limit", "MEMORY_LIMIT");
    if (!memory) return std::unexpected(memory.error());
    cli.memory_limit = *memory;
  }
  if (raw.max_output) {
    auto cap = size_value(*raw.max_output, "--max-output", "MAX_OUTPUT");
    if (!cap) return std::unexpected(cap.error());
    cli.max_output = *cap;
  }
  return cli;
}

// The arguments for the parser, last first (the order it consumes them in).
// "--name=" and "-X=value" are split into the option and its value, so an
// empty value stays a value and "-P=3" means 3.
std::vector<std::string> parser_arguments(const CLI::App& app, int argc, const char* const* argv) {
  std::vector<std::string> valued;  // "--output", "-o", ... for every option that takes a value
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_positional() || opt->get_items_expected_max() == 0) continue;
    for (const auto& name : opt->get_lnames()) valued.push_back("--" + name);
    for (const auto& name : opt->get_snames()) valued.push_back("-" + name);
  }
  std::vector<std::string> args;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!options_ended && arg == "--") options_ended = true;
    std::size_t eq = arg.find('=');
    bool split = false;
    if (!options_ended && eq != std::string::npos) {
      std::string name = arg.substr(0, eq);
      bool is_long = name.starts_with("--");
      bool empty_long = is_long && eq + 1 == arg.size();
      split = std::find(valued.begin(), valued.end(), name) != valued.end() && (empty_long || !is_long);
    }
    if (split) {
      args.push_back(arg.substr(0, eq));
      args.push_back(arg.substr(eq + 1));
    } else {
      args.push_back(std::move(arg));
    }
  }
  return {args.rbegin(), args.rend()};
}

int usage_error(const CLI::App& app, const HelpFormatter& help, std::string_view message) {
  std::string text = "error: " + std::string(message) + "\n\n" + help.make_usage(&app, app.get_name()) +
                     "\nFor more information, try '--help'.\n";
  write_stderr(text);
  return kExitUsage;
}

std::string program_name(int argc, const char* const* argv) {
  if (argc < 1 || argv[0] == nullptr || *argv[0] == '\0') return std::string(kProgramName);
  std::string_view path = argv[0];
  auto name = file_name(path);
  return std::string(name ? *name : path);
}

}  // namespace

std::variant<Cli, int> parse_command_line(int argc, const char* const* argv) {
  Cli cli;
  RawValues raw;
  CLI::App app{std::string(kAbout), program_name(argc, argv)};
  auto help = std::make_shared<HelpFormatter>();
  app.formatter(help);

  app.add_option("INPUTS", raw.inputs, "Input files, or - for stdin when decoding or testing")
      ->required()
      ->type_name("INPUTS");
  auto* test = app.add_flag("--test", cli.test, "Fully decode and validate without writing plaintext");
  auto* index = app.add_flag("--index", cli.index, "Build validated, source-bound block indexes");
  auto* list = app.add_flag("--list", cli.list, "Validate and show stream/block layouts");
  auto* output = app.add_option("-o,--output", raw.output, "Output path, or - for stdout; requires one input")
                     ->type_name("OUTPUT");
  auto* output_dir =
      app.add_option("-C,--output-dir", raw.output_dir, "Put decoded files in DIRECTORY")->type_name("OUTPUT_DIR");
  app.add_option("-P,--threads", raw.threads, "Worker threads; 0 uses all available CPUs")
      ->type_name("THREADS")
      ->default_str(std::to_string(kDefaultThreads));
  app.add_option("--memory-limit", raw.memory_limit, "Maximum speculative decoded output")
      ->type_name("MEMORY_LIMIT")
      ->default_str(size_argument(decode::kDefaultMemoryLimit));
  app.add_option("--max-output", raw.max_output, "Refuse to decode more than SIZE bytes per input")
      ->type_name("MAX_OUTPUT");
  auto* force = app.add_flag("-f,--force", cli.force, "Replace existing output files");
  auto* skip_existing = app.add_flag("--skip-existing", cli.skip_existing, "Skip existing output files");
  auto* remove_input = app.add_flag("--rm", cli.remove_input, "Remove compressed inputs after successful extraction");
  auto* quiet = app.add_flag("-q,--quiet", cli.quiet, "Suppress progress and skip notices");
  auto* json = app.add_flag("--json", cli.json, "Emit list output as JSON");

  // The mode group: at most one of --test, --index and --list. CLI11 records
  // every exclusion on both options, so each conflict is mutual.
  test->excludes(index);
  test->excludes(list);
  index->excludes(list);
  for (CLI::Option* other : {test, list, output_dir}) output->excludes(other);
  for (CLI::Option* other : {test, index, list}) output_dir->excludes(other);
  for (CLI::Option* other : {test, list, skip_existing}) force->excludes(other);
  for (CLI::Option* other : {test, list}) skip_existing->excludes(other);
  for (CLI::Option* other : {test, index, list}) remove_input->excludes(other);
  json->needs(list);
  // A flag takes no value: "--test=false" is a usage error, not a way to switch it off.
  for (CLI::Option* flag : {test, index, list, force, skip_existing, remove_input, quiet, json}) {
    flag->disable_flag_override();
  }

  app.set_help_flag("-h,--help", "Print help");
  app.set_version_flag("-V,--version", std::string(kProgramName) + " " + std::string(morvane::kVersion), "Print version");

  try {
    std::vector<std::string> args = parser_arguments(app, argc, argv);
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      app.exit(e, std::cout, std::cerr);  // --help or --version, on standard output
      std::cout.flush();
      return kExitSuccess;
    }
    return usage_error(app, *help, e.what());
  }
  auto filled = finish(std::move(cli), std::move(raw));
  if (!filled) return usage_error(app, *help, filled.error().message);
  return std::move(*filled);
}

}  // namespace morvane::cli
