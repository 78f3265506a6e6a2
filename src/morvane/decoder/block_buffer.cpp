#include "morvane/decoder/block_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace morvane::decoder {
namespace {

std::atomic<std::uint64_t> allocated{0};
std::atomic<std::uint64_t> obtained{0};

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Large buffers are mapped directly, except where the ordinary allocator must
// see every buffer (the sanitizer and fuzzer builds).
#if defined(MORVANE_PLAIN_ALLOCATION)
inline constexpr bool kMapLarge = false;
#else
inline constexpr bool kMapLarge = true;
#endif

// Buffers at least this large are offered to the kernel as huge pages.
inline constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;
// Storage kept for a smaller block may exceed twice its size by this much.
inline constexpr std::size_t kSlack = std::size_t{256} << 10;

std::size_t whole_pages(std::size_t bytes) {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

}  // namespace

BlockBuffer::~BlockBuffer() {
  if (recycler_ != nullptr && capacity_ != 0) {
    BufferRecycler* recycler = std::exchange(recycler_, nullptr);
    recycler->recycle(std::move(*this));
    return;
  }
  release();
}

void BlockBuffer::swap(BlockBuffer& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  std::swap(mapped_, other.mapped_);
  std::swap(recycler_, other.recycler_);
}

std::uint64_t BlockBuffer::allocated_bytes() { return allocated.load(std::memory_order_relaxed); }
std::uint64_t BlockBuffer::storage_obtained() { return obtained.load(std::memory_order_relaxed); }

void BlockBuffer::release() noexcept {
  allocated.fetch_sub(capacity_, std::memory_order_relaxed);
  if (mapped_) {
    munmap(data_, whole_pages(capacity_));
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

std::size_t BlockBuffer::capacity_for(std::size_t size, std::size_t capacity) {
  // Storage that is big enough and not much bigger is kept as it is: a
  // buffer reused for blocks of about one size then settles, and faults and
  // remaps nothing.
  if (size <= capacity && capacity - size <= size + kSlack) return capacity;
  return size == 0 ? 1 : size;
}

void BlockBuffer::resize(std::size_t size) {
  const std::size_t want = capacity_for(size, capacity_);
  if (want == capacity_) {
    size_ = size;
    return;
  }
  obtained.fetch_add(1, std::memory_order_relaxed);
  if (kMapLarge && size >= kMapThreshold) {
    if (mapped_) {
      // Moves the page tables, not the bytes: the pages already faulted in stay.
      void* moved = mremap(data_, whole_pages(capacity_), whole_pages(want), MREMAP_MAYMOVE);
      if (moved == MAP_FAILED) throw std::bad_alloc();
      data_ = static_cast<std::uint8_t*>(moved);
      allocated.fetch_add(want - capacity_, std::memory_order_relaxed);
    } else {
      void* mapped = mmap(nullptr, whole_pages(want), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped == MAP_FAILED) throw std::bad_alloc();
      // A fresh block is written once from end to end: huge pages fault it in
      // with one fault per 2 MiB instead of one per 4 KiB. Only advice.
      if (want >= kHugePageThreshold) (void)madvise(mapped, whole_pages(want), MADV_HUGEPAGE);
      release();
      data_ = static_cast<std::uint8_t*>(mapped);
      mapped_ = true;
      allocated.fetch_add(want, std::memory_order_relaxed);
    }
    capacity_ = want;
  } else {
    void* fresh = std::malloc(want);
    if (fresh == nullptr) throw std::bad_alloc();
    release();
    data_ = static_cast<std::uint8_t*>(fresh);
    capacity_ = want;
    allocated.fetch_add(capacity_, std::memory_order_relaxed);
  }
  size_ = size;
}

bool operator==(const BlockBuffer& a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace morvane::decoder
