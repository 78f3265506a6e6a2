#include "support/bit_writer.hpp"

#include <stdexcept>

namespace morvane::test {

void BitWriter::put(std::uint64_t value, unsigned count) {
  if (count > 64) throw std::invalid_argument("BitWriter::put: more than 64 bits");
  for (unsigned i = count; i-- > 0;) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if ((value >> i) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bits_ % 8));
    ++bits_;
  }
}

void BitWriter::put_bytes(std::span<const std::uint8_t> bytes) {
  if (bits_ % 8 == 0) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    bits_ += 8 * bytes.size();
    return;
  }
  for (std::uint8_t b : bytes) put(b, 8);
}

void BitWriter::put_text(std::string_view text) {
  for (char c : text) put(static_cast<std::uint8_t>(c), 8);
}

void BitWriter::pad_to_byte(bool ones) {
  while (bits_ % 8 != 0) put_bit(ones);
}

}  // namespace morvane::test
