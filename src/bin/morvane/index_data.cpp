#include "index_data.hpp"

#include "limited_writer.hpp"
#include "progress.hpp"
#include "morvane/decode/engine.hpp"

namespace morvane::cli {

Result<index::Index> build_index_data(const Input& input, decode::DecodeOptions options,
                                      std::optional<std::uint64_t> max_output, bool quiet) {
  ProgressDisplay progress(input.name, input.bytes().size(), quiet);
  auto forward = [&](std::uint64_t position, std::uint64_t decoded) { progress.update(position, decoded); };
  DiscardWriter sink;
  IntactInputWriter<DiscardWriter> intact(input, sink);
  // Always the scanning road, whatever the thread count: the index is the point.
  Result<index::Index> result = [&] {
    if (!max_output) return decode::decode_to_writer_impl(input.bytes(), intact, options, forward);
    LimitedWriter<IntactInputWriter<DiscardWriter>> capped(max_output, intact);
    return decode::decode_to_writer_impl(input.bytes(), capped, options, forward);
  }();
  progress.finish();
  // The index hashes the whole input: it holds only if every page was the file's.
  return input.checked(std::move(result));
}

}  // namespace morvane::cli
