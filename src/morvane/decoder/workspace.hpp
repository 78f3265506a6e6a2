// The block decoder's working memory: the Burrows-Wheeler vector, the block's
// bytes before the final run-length stage and the inverse transform's
// scratch, in one mapping that is kept from block to block.
//
// The mapping has room for the largest block (900000 symbols, 7 bytes each),
// but pages are only faulted in where a block writes, so a block of a hundred
// symbols touches a few pages, not megabytes. For a large block the inverse
// transform walks the vector at random, and with 4 KiB pages most steps of
// that walk would also miss the TLB; its mapping is therefore aligned to
// 2 MiB and offered to the kernel as huge pages. Which kind a block needs is
// decided before its symbols are decoded, from its selector count; once a
// workspace has huge pages it keeps them for every block after.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morvane/constants.hpp"

namespace morvane::decoder {

class Workspace {
 public:
  // The most symbols one block can hold (level 9).
  static constexpr std::size_t kCapacity = kMaxBlockSymbols;
  // Bytes per symbol: tt entry (4), byte before the final stage (1), scratch (2).
  static constexpr std::size_t kBytesPerSymbol = 7;

  Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  ~Workspace();

  // Maps the working memory if it is not yet mapped, or maps it again with
  // huge pages when they are asked for and it has none. Throws std::bad_alloc
  // when memory is short.
  void prepare(bool huge_pages);

  // Notes that a block wrote `symbols` entries (and may invert them).
  void note_use(std::size_t symbols) { touched_ = std::max(touched_, symbols); }
  // The bytes of the mapping that blocks may have touched since it was made.
  std::size_t touched_bytes() const { return touched_ * kBytesPerSymbol; }
  // Whether the mapping is one of ordinary pages (huge pages are kept for
  // large blocks only).
  bool small() const { return base_ != nullptr && !huge_pages_; }

  std::uint32_t* tt() const { return tt_; }       // kCapacity entries, laid out as inverse.cpp says
  std::uint8_t* bytes() const { return bytes_; }  // kCapacity bytes
  // Working room of the inverse transform: 2 bytes per entry.
  std::span<std::uint8_t> scratch(std::size_t entries) const { return {bytes_ + kCapacity, 2 * entries}; }
  // The same room, once the transform is done, for the places of the final
  // stage's repeat counts: at most one per five symbols.
  std::uint32_t* counts() const { return reinterpret_cast<std::uint32_t*>(bytes_ + kCapacity); }
  static_assert(kCapacity % 4 == 0 && (kCapacity / 5 + 1) * 4 <= 2 * kCapacity);

 private:
  void unmap() noexcept;

  void* base_ = nullptr;
  std::size_t length_ = 0;  // of the whole mapping
  bool huge_pages_ = false;
  std::size_t touched_ = 0;  // the most symbols a block has used since the mapping
  std::uint32_t* tt_ = nullptr;
  std::uint8_t* bytes_ = nullptr;
};

}  // namespace morvane::decoder
