// List mode: each input's validated stream and block layout, as text lines or
// as one JSON document.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"

namespace morvane::cli {

Result<void> run_list(const Cli& cli, decode::DecodeOptions options);

// The text listing of one input; the "input" line only when `with_input`.
std::string text_listing(const index::Index& index, const std::string& input, bool with_input);

// The JSON object of one input; its keys come out sorted.
nlohmann::json json_listing(const index::Index& index, const std::string& input);

}  // namespace morvane::cli
