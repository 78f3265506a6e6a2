// Index mode: each input's validated block index stored as an index file
// ("{input}.zuvov", or --output; "-" for standard output).
#pragma once

#include "cli.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"

namespace morvane::cli {

Result<void> run_index(const Cli& cli, decode::DecodeOptions options);

}  // namespace morvane::cli
