// Test-only writer of bit streams, most significant bit first, the order in
// which bzip2 stores every field. Used to craft streams no compressor emits.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace morvane::test {

class BitWriter {
 public:
  // Appends the low `count` bits of `value` (count <= 64), most significant first.
  void put(std::uint64_t value, unsigned count);
  void put_bit(bool bit) { put(bit ? 1 : 0, 1); }
  // Appends whole bytes at the current position, aligned or not.
  void put_bytes(std::span<const std::uint8_t> bytes);
  void put_text(std::string_view text);
  // Fills up to the next byte boundary with zero bits, or with one bits.
  void pad_to_byte(bool ones = false);

  // The number of bits written so far: the position of the next bit.
  std::uint64_t pos() const { return bits_; }
  // The bytes written; bits of the last byte beyond pos() are zero.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() { bits_ = 0; return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t bits_ = 0;
};

}  // namespace morvane::test
