// The decoded bytes of one block. The storage is never value-initialised
// (every byte is written by the final run-length stage before it is read)
// and is sized to the block; large blocks are mapped directly (in whole
// pages, up to 4 KiB beyond the capacity), so that their memory goes back to
// the system when freed instead of staying in the allocator's arenas. Resizing
// keeps no contents, so a buffer reused for the next block costs neither a
// copy nor a fill: storage that fits and is at most about twice the size is
// kept, and a mapped buffer is remapped without losing its pages.
//
// A buffer may belong to a recycler (the parallel engine's free list): when it
// is destroyed, its storage goes back there instead of to the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvane::decoder {

class BlockBuffer;

// Takes the storage of buffers that belong to it when they are destroyed;
// its recycle may be called from any thread.
class BufferRecycler {
 public:
  // `buffer` no longer belongs to any recycler; must not throw.
  virtual void recycle(BlockBuffer&& buffer) noexcept = 0;

 protected:
  ~BufferRecycler() = default;
};

// One owner at a time; it moves between threads with the block it holds.
class BlockBuffer {
 public:
  // Blocks of at least this many bytes are mapped directly, in whole pages.
  static constexpr std::size_t kMapThreshold = std::size_t{256} << 10;

  BlockBuffer() = default;
  BlockBuffer(BlockBuffer&& other) noexcept { swap(other); }
  BlockBuffer& operator=(BlockBuffer&& other) noexcept {
    BlockBuffer(std::move(other)).swap(*this);
    return *this;
  }
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;
  ~BlockBuffer();

  // Makes the buffer `size` bytes long; the contents are unspecified. The
  // capacity stays at most 2 x size + 256 KiB. Throws std::bad_alloc when
  // memory is short.
  void resize(std::size_t size);
  // The capacity a buffer of `capacity` bytes has after resize(size).
  static std::size_t capacity_for(std::size_t size, std::size_t capacity);
  // Frees the storage (to the system, not to a recycler).
  void release() noexcept;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The bytes the storage holds: what the engine's memory budget counts.
  std::size_t capacity() const { return capacity_; }

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  operator std::span<const std::uint8_t>() const { return bytes(); }  // NOLINT: a buffer is its bytes
  const std::uint8_t* begin() const { return data_; }
  const std::uint8_t* end() const { return data_ + size_; }
  std::vector<std::uint8_t> to_vector() const { return {begin(), end()}; }

  friend bool operator==(const BlockBuffer& a, std::span<const std::uint8_t> b);
  friend bool operator==(const BlockBuffer& a, const std::vector<std::uint8_t>& b) {
    return a == std::span<const std::uint8_t>(b);
  }

  // The bytes all buffers of the process hold now (a statistic for tests and
  // benchmarks).
  static std::uint64_t allocated_bytes();
  // How many times a buffer got storage from the system (a fresh or remapped
  // mapping, or an allocation), a statistic for tests and benchmarks.
  static std::uint64_t storage_obtained();

  // The recycler this buffer goes back to when destroyed (nullptr: none).
  void set_recycler(BufferRecycler* recycler) { recycler_ = recycler; }
  BufferRecycler* recycler() const { return recycler_; }

 private:
  void swap(BlockBuffer& other) noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
  BufferRecycler* recycler_ = nullptr;
};

}  // namespace morvane::decoder
