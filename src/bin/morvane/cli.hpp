// The parsed command line and the parser that builds it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane::cli {

inline constexpr std::string_view kProgramName = "morvane";
inline constexpr std::string_view kAbout = "Fast parallel and indexed bzip2 decompression";
inline constexpr std::uint64_t kDefaultThreads = 0;

// One field per argument, in the order of the option table.
struct Cli {
  std::vector<std::string> inputs;  // "-" is standard input
  bool test = false;
  bool index = false;
  bool list = false;
  std::optional<std::string> output;
  std::optional<std::string> output_dir;
  std::uint64_t threads = kDefaultThreads;  // 0 = all available CPUs
  std::uint64_t memory_limit = 0;           // bytes
  std::optional<std::uint64_t> max_output;  // bytes per input
  bool force = false;
  bool skip_existing = false;
  bool remove_input = false;
  bool quiet = false;
  bool json = false;
};

// The parsed command line, or the status to exit with at once: 0 after
// --help or --version (printed on standard output), 2 after a usage error
// (message and usage printed on standard error).
std::variant<Cli, int> parse_command_line(int argc, const char* const* argv);

}  // namespace morvane::cli
