// The serial stream decoder with the block index recorded on the way: the
// road of an input with more block markers than speculation is allowed, on
// which the index still has to be built. Its records equal those of the
// ordered walk for any input both accept.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "morvane/decoder/serial.hpp"
#include "morvane/error.hpp"
#include "morvane/index/index.hpp"
#include "morvane/writer.hpp"

namespace morvane::decode {

// Builds the records from what the serial decoder reports.
class IndexRecorder {
 public:
  void block(std::uint64_t start_bit, std::uint64_t end_bit, std::uint64_t decoded_bytes, std::uint32_t crc) {
    blocks_.push_back({.compressed_start_bit = start_bit,
                       .compressed_end_bit = end_bit,
                       .decoded_start = decoded_,
                       .decoded_bytes = decoded_bytes,
                       .expected_crc = crc,
                       .stream = streams_.size()});
    decoded_ += decoded_bytes;  // the decoder checked that the total fits
  }
  void stream(std::uint64_t header_byte, std::uint8_t level, std::uint64_t eos_bit, std::uint32_t crc) {
    const std::uint64_t first = stream_first_block_;
    streams_.push_back({.header_byte = header_byte,
                        .block_size_100k = level,
                        .first_block = first,
                        .block_count = blocks_.size() - first,
                        .decoded_start = stream_start_,
                        .decoded_bytes = decoded_ - stream_start_,
                        .eos_bit = eos_bit,
                        .expected_crc = crc});
    stream_first_block_ = blocks_.size();
    stream_start_ = decoded_;
  }
  index::Index take(std::span<const std::uint8_t> data) && {
    return index::Index::create(data, decoded_, std::move(streams_), std::move(blocks_));
  }

 private:
  std::vector<index::StreamIndex> streams_;
  std::vector<index::BlockIndex> blocks_;
  std::uint64_t decoded_ = 0;
  std::uint64_t stream_first_block_ = 0;
  std::uint64_t stream_start_ = 0;
};

// The serial decoder writing into `writer`, returning the block index.
template <Writer W, Progress P>
Result<index::Index> decode_serial_indexed(std::span<const std::uint8_t> data, W& writer, P&& progress) {
  IndexRecorder recorder;
  if (auto done = decoder::decode_serial_with_progress(data, writer, progress, recorder); !done) {
    return fail(std::move(done.error()));
  }
  return std::move(recorder).take(data);
}

}  // namespace morvane::decode
