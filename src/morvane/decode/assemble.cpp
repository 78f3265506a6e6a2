#include "morvane/decode/assemble.hpp"

namespace morvane::decode {

Result<decoder::DecodedCandidate> SerialCandidates::take(std::uint64_t marker) {
  const Marker& wanted = markers_[marker];
  if (const Marker::End* end = wanted.end()) return fail(Error::decode(end->bit_offset, DecodeError::InvalidMagic));
  auto decoded = decoder::decode_candidate(data_, wanted.block()->bit_offset, wanted.block()->crc, *decoder_,
                                          std::move(spare_));
  if (decoded) decoded->data.set_recycler(this);
  return decoded;
}

}  // namespace morvane::decode
