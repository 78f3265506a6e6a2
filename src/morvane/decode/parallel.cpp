#include "morvane/decode/parallel.hpp"

namespace morvane::decode {

Result<decoder::DecodedCandidate> ParallelCandidates::take(std::uint64_t marker) {
  // The chain asks in increasing order, so nothing below `marker` is wanted
  // any more. Dropping it here as well matters after an end-of-stream marker:
  // results parked between it and the next stream's first block would
  // otherwise hold budget that the next block may need to be started at all.
  discard_before(marker);
  if (auto parked = completed_.remove(marker)) {
    queue_->retire(result_size(*parked));
    return std::move(*parked);
  }
  for (;;) {
    auto message = receiver_.receive();
    if (!message) return fail(Error::invalid_configuration("parallel decoder stopped early"));
    // A result leaves the budget the moment it reaches the consumer; the
    // block being written is no longer counted.
    if (message->marker == marker) {
      queue_->retire(result_size(message->result));
      return std::move(message->result);
    }
    if (message->marker < marker) {
      queue_->retire(result_size(message->result));
      continue;
    }
    completed_.park(message->marker, std::move(message->result));
  }
}

void ParallelCandidates::discard_before(std::uint64_t marker) {
  completed_.drop_below(marker, [&](std::uint64_t size) { queue_->retire(size); });
  auto first_wanted = std::lower_bound(items_.begin(), items_.end(), marker,
                                       [](const WorkItem& item, std::uint64_t key) { return item.marker < key; });
  queue_->skip_to(static_cast<std::uint64_t>(first_wanted - items_.begin()));
}

}  // namespace morvane::decode
