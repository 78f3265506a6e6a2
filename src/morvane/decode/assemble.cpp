#include "morvane/decode/assemble.hpp"

namespace morvane::decode {

Result<decoder::DecodedCandidate> SerialCandidates::take(std::uint64_t marker) {
  const Marker& wanted = markers_[marker];
  if (const Marker::End* end = wanted.end()) return fail(Error::decode(end->bit_offset, DecodeError::InvalidMagic));
  const Marker::Block& block = *wanted.block();
  auto shape = decoder::read_candidate(data_, block.bit_offset, block.crc, *decoder_, decoder::Wanted{});
  if (!shape) return fail(std::move(shape.error()));
  decoder::DecodedCandidate decoded{std::move(spare_), (*shape)->end_bit, (*shape)->symbols};
  if (auto finished = decoder_->finish(decoded.data); !finished) return fail(std::move(finished.error()));
  decoded.data.set_recycler(this);
  return decoded;
}

}  // namespace morvane::decode
