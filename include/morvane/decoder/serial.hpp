// The serial stream decoder: every stream of the input, block after block,
// strictly in order on the calling thread, with one reused Decoder and output
// buffer.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "morvane/constants.hpp"
#include "morvane/decoder/bits.hpp"
#include "morvane/decoder/block.hpp"
#include "morvane/decoder/crc32.hpp"
#include "morvane/error.hpp"
#include "morvane/stream_header.hpp"
#include "morvane/writer.hpp"

namespace morvane::decoder {

// What a serial decode tells `layout` about the input it walks, in input
// order: each block once written (the first bit of its magic, the bit after
// its last code), each stream once its CRC has matched. This one records
// nothing.
struct NoRecord {
  void block(std::uint64_t /*start_bit*/, std::uint64_t /*end_bit*/, std::uint64_t /*decoded_bytes*/,
             std::uint32_t /*crc*/) {}
  void stream(std::uint64_t /*header_byte*/, std::uint8_t /*level*/, std::uint64_t /*eos_bit*/,
              std::uint32_t /*crc*/) {}
};

// Decodes the whole input into `writer`: one write_all and one progress call
// (bytes consumed, decoded so far) per block, then one flush and a final
// progress call (input length, total).
template <Writer W, Progress P, class R = NoRecord>
Result<void> decode_serial_with_progress(std::span<const std::uint8_t> data, W& writer, P&& progress,
                                         R&& layout = {}) {
  Bits bits(data, 0);
  LentDecoder decoder;
  // One output buffer for every block: a block the size of the last one
  // reuses its pages instead of faulting in new ones.
  BlockBuffer out;
  const std::uint64_t total_bits = bits.total_bits();
  std::uint64_t decoded = 0;

  while (bits.pos() < total_bits) {
    // Every stream starts on a byte boundary (see the padding below).
    const std::uint64_t start = bits.pos();
    auto header = read_stream_header(data, start / 8);
    if (!header) return fail(stream_header_error(header.error(), start));
    const std::uint8_t level = *header;
    bits.set_pos(start + kStreamHeaderBits);
    std::uint32_t combined = 0;

    for (;;) {
      const std::uint64_t record = bits.pos();
      auto magic = bits.magic();
      if (!magic) return fail(std::move(magic.error()));
      if (*magic == kBlockMagic) {
        auto block = decoder->read(bits, level, std::nullopt);
        if (!block) return fail(std::move(block.error()));
        if (auto finished = decoder->finish(out); !finished) return fail(std::move(finished.error()));
        if (auto written = writer.write_all(out); !written) return fail(Error::io(std::move(written.error())));
        if (out.size() > UINT64_MAX - decoded) return fail(Error::invalid_configuration("decoded offset overflow"));
        decoded += out.size();
        // A block ending inside a byte has consumed that byte.
        progress(bits.pos() / 8 + (bits.pos() % 8 != 0), decoded);
        layout.block(record, bits.pos(), out.size(), block->stored_crc);
        combined = combine_stream_crc(combined, block->stored_crc);
      } else if (*magic == kEndMagic) {
        if (bits.remaining() < kCrcBits) return fail(Error::decode(record + kMagicBits, DecodeError::Truncated));
        if (bits.read(kCrcBits).value() != combined) return fail(Error::decode(record, DecodeError::CrcMismatch));
        layout.stream(start / 8, level, record, combined);
        // Streams start on a byte boundary; the padding bits are not looked at.
        const std::uint64_t end = record + kEndRecordBits;
        bits.set_pos((end + 7) / 8 * 8);
        break;
      } else {
        return fail(Error::decode(record, DecodeError::InvalidMagic));
      }
    }
  }

  if (auto flushed = writer.flush(); !flushed) return fail(Error::io(std::move(flushed.error())));
  progress(std::uint64_t{data.size()}, decoded);
  return {};
}

template <Writer W>
Result<void> decode_serial(std::span<const std::uint8_t> data, W& writer) {
  return decode_serial_with_progress(data, writer, NoProgress{});
}

}  // namespace morvane::decoder
