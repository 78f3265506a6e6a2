// The worker side of the parallel road: what one worker does with each item
// it takes from the queue, and the decode steps a test may put in its place.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "morvane/concurrency/channel.hpp"
#include "morvane/decode/parallel.hpp"
#include "morvane/decode/work_queue.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/error.hpp"

namespace morvane::decode {

// One finished decode on its way from a worker to the consumer.
struct WorkResult {
  std::uint64_t marker;
  Result<decoder::DecodedCandidate> result;
};

// The steps of a worker's decode, as a test replaces them; without one a
// worker calls the decoder directly.
struct WorkSteps {
  // Reads the candidate; nothing once `wanted` gives it up.
  virtual Result<std::optional<decoder::BlockShape>> read(std::span<const std::uint8_t> data, const WorkItem& item,
                                                          decoder::Decoder& decoder,
                                                          const decoder::Wanted& wanted) const {
    return decoder::read_candidate(data, item.bit_offset, item.crc, decoder, wanted);
  }
  // Inverts the candidate read last: its output's length.
  virtual Result<std::uint64_t> invert(decoder::Decoder& decoder) const { return decoder.invert(); }
  // Writes the inverted candidate's output into `out`.
  virtual Result<void> expand(decoder::Decoder& decoder, decoder::BlockBuffer& out) const {
    return decoder.expand(out);
  }

 protected:
  ~WorkSteps() = default;
};

// The consumer's side over the receiving end of a result channel; each block
// taken is reported to `queue` (none: no reports).
struct ParallelCandidatesOf {
  static ParallelCandidates make(concurrency::Receiver<WorkResult> receiver, WorkQueue* queue);
};

// Runs on one pool thread: takes items from the queue until none is left, the
// queue is cancelled or the consumer is gone, decoding each with no lock held.
void worker_loop(std::span<const std::uint8_t> data, WorkQueue& queue, const concurrency::Sender<WorkResult>& sender,
                 const WorkSteps* steps);

}  // namespace morvane::decode
