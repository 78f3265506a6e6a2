// The block decoder's working memory: the Burrows-Wheeler vector, the block's
// bytes before the final run-length stage and the inverse transform's
// scratch, in one allocation that is kept from block to block. The inverse
// transform walks it at random, so it is aligned to 2 MiB and offered to the
// kernel as huge pages: with 4 KiB pages most steps of that walk would also
// miss the TLB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace morvane::decoder {

class Workspace {
 public:
  Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  Workspace(Workspace&& other) noexcept { swap(other); }
  Workspace& operator=(Workspace&& other) noexcept {
    swap(other);
    return *this;
  }
  ~Workspace();

  // Room for `entries` symbols; keeps the current storage when it is enough.
  // Throws std::bad_alloc when memory is short.
  void reserve(std::size_t entries);

  std::uint32_t* tt() const { return tt_; }       // byte | link << 8
  std::uint8_t* bytes() const { return bytes_; }  // the block before its final run-length stage
  // Working room of the inverse transform: 2 bytes per entry.
  std::span<std::uint8_t> scratch(std::size_t entries) const { return {bytes_ + capacity_, 2 * entries}; }

 private:
  void swap(Workspace& other) noexcept;

  void* base_ = nullptr;
  std::size_t capacity_ = 0;  // entries
  std::uint32_t* tt_ = nullptr;
  std::uint8_t* bytes_ = nullptr;
};

}  // namespace morvane::decoder
