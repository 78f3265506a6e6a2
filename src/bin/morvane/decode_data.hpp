// One input decoded into a destination through the output cap, with the
// progress line: the whole of decoding, into a file, to standard output or
// under --test.
#pragma once

#include <cstdint>
#include <optional>

#include "input.hpp"
#include "limited_writer.hpp"
#include "progress.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/error.hpp"

namespace morvane::cli {

template <Writer W>
Result<void> decode_data(const Input& input, W& destination, decode::DecodeOptions options,
                         std::optional<std::uint64_t> max_output, bool quiet) {
  IntactInputWriter<W> intact(input, destination);
  LimitedWriter<IntactInputWriter<W>> writer(max_output, intact);
  ProgressDisplay progress(input.name, input.bytes().size(), quiet);
  auto result = decode::decompress_to_writer_with_progress(
      input.bytes(), writer, options,
      [&](std::uint64_t position, std::uint64_t decoded) { progress.update(position, decoded); });
  progress.finish();  // before the caller prints any error line
  return input.checked(std::move(result));
}

}  // namespace morvane::cli
