#include "morvane/decode/engine.hpp"

namespace morvane::decode {

Result<index::Index> build_index(std::span<const std::uint8_t> data, DecodeOptions options) {
  DiscardWriter discard;
  return decode_to_writer_impl(data, discard, options, NoProgress{});
}

}  // namespace morvane::decode
