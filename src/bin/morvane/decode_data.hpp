// One in-memory input decoded into a destination through the output cap, with
// the progress line: the whole of decoding, into a file, to standard output or
// under --test.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "limited_writer.hpp"
#include "progress.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/error.hpp"

namespace morvane::cli {

template <Writer W>
Result<void> decode_data(std::span<const std::uint8_t> input, std::string_view name, W& destination,
                         decode::DecodeOptions options, std::optional<std::uint64_t> max_output, bool quiet) {
  LimitedWriter<W> writer(max_output, destination);
  ProgressDisplay progress(name, input.size(), quiet);
  auto result = decode::decompress_to_writer_with_progress(
      input, writer, options, [&](std::uint64_t position, std::uint64_t decoded) { progress.update(position, decoded); });
  progress.finish();  // before the caller prints any error line
  return result;
}

}  // namespace morvane::cli
