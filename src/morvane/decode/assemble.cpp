#include "morvane/decode/assemble.hpp"

namespace morvane::decode {

Result<decoder::DecodedCandidate> SerialCandidates::take(std::uint64_t marker) {
  const Marker wanted = markers_[marker];
  if (wanted.is_end()) return fail(Error::decode(wanted.bit_offset(), DecodeError::InvalidMagic));
  auto decoded = decoder::decode_candidate(data_, wanted.bit_offset(), markers_.crc(marker), *decoder_,
                                          std::move(spare_));
  if (decoded) decoded->data.set_recycler(this);
  return decoded;
}

}  // namespace morvane::decode
