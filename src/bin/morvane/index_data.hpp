// The step under --index and --list: a full validating decode on the scanning
// road whose decoded data is discarded and whose result is the input's index.
#pragma once

#include <cstdint>
#include <optional>

#include "input.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"

namespace morvane::cli {

Result<index::Index> build_index_data(const Input& input, decode::DecodeOptions options,
                                      std::optional<std::uint64_t> max_output, bool quiet);

}  // namespace morvane::cli
