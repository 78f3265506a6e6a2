#include "morvane/decode/parallel.hpp"

namespace morvane::decode {

Result<decoder::DecodedCandidate> ParallelCandidates::take(std::uint64_t marker) {
  // The chain asks in increasing order, so nothing below `marker` is wanted
  // any more. Dropping it here as well matters after an end-of-stream marker:
  // results parked between it and the next stream's first block would
  // otherwise hold budget that the next block may need to be started at all.
  discard_before(marker);
  if (auto parked = completed_.remove(marker)) return std::move(*parked);
  for (;;) {
    auto message = receiver_.receive();
    if (!message) return fail(Error::invalid_configuration("parallel decoder stopped early"));
    if (message->marker == marker) return std::move(message->result);
    // A result below the wanted one is dropped here, its buffer going back to the queue.
    if (message->marker > marker) completed_.park(message->marker, std::move(message->result));
  }
}

}  // namespace morvane::decode
