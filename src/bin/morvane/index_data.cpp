#include "index_data.hpp"

#include "limited_writer.hpp"
#include "progress.hpp"
#include "morvane/decode/engine.hpp"

namespace morvane::cli {

Result<index::Index> build_index_data(std::span<const std::uint8_t> input, std::string_view name,
                                      decode::DecodeOptions options, std::optional<std::uint64_t> max_output,
                                      bool quiet) {
  ProgressDisplay progress(name, input.size(), quiet);
  auto forward = [&](std::uint64_t position, std::uint64_t decoded) { progress.update(position, decoded); };
  DiscardWriter sink;
  // Always the scanning road, whatever the thread count: the index is the point.
  Result<index::Index> result = [&] {
    if (!max_output) return decode::decode_to_writer_impl(input, sink, options, forward);
    LimitedWriter<DiscardWriter> capped(max_output, sink);
    return decode::decode_to_writer_impl(input, capped, options, forward);
  }();
  progress.finish();
  return result;
}

}  // namespace morvane::cli
