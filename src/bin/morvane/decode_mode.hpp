// Decode mode: every input decompressed into a file of its own, or to
// standard output.
#pragma once

#include "cli.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"

namespace morvane::cli {

Result<void> run_decode(const Cli& cli, decode::DecodeOptions options);

}  // namespace morvane::cli
