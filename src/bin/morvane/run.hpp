// The checks the parser cannot express, and the dispatch to the four modes.
#pragma once

#include "cli.hpp"
#include "morvane/error.hpp"

namespace morvane::cli {

// Stops at the first input that fails and returns its error.
Result<void> run(Cli cli);

}  // namespace morvane::cli
