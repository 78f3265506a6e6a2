#include "morvane/decoder/workspace.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace morvane::decoder {
namespace {

[[maybe_unused]] inline constexpr std::size_t kHugePage = std::size_t{2} << 20;  // bytes
inline constexpr std::size_t kBytes = Workspace::kCapacity * Workspace::kBytesPerSymbol;
[[maybe_unused]] inline constexpr std::size_t kHugeBytes = (kBytes + kHugePage - 1) / kHugePage * kHugePage;

}  // namespace

Workspace::~Workspace() { unmap(); }

#if defined(MORVANE_PLAIN_ALLOCATION)
// The sanitizer and fuzzer builds: the ordinary allocator, whose bounds the
// address sanitizer sees; the same layout otherwise.
void Workspace::unmap() noexcept {
  std::free(base_);
  base_ = nullptr;
  length_ = 0;
}

void Workspace::prepare(bool huge_pages) {
  if (base_ != nullptr && (huge_pages_ || !huge_pages)) return;
  unmap();
  // Exactly the bytes the layout uses, so that a step past them is seen.
  void* area = std::malloc(kBytes);
  if (area == nullptr) throw std::bad_alloc();
  base_ = area;
  length_ = kBytes;
  huge_pages_ = huge_pages;
  touched_ = 0;
  tt_ = static_cast<std::uint32_t*>(base_);
  bytes_ = reinterpret_cast<std::uint8_t*>(tt_ + kCapacity);
}
#else
void Workspace::unmap() noexcept {
  if (base_ != nullptr) munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
}

void Workspace::prepare(bool huge_pages) {
  // Huge pages serve a small block as well: a workspace is only ever upgraded,
  // so blocks of both kinds in turn do not remap it every time.
  if (base_ != nullptr && (huge_pages_ || !huge_pages)) return;
  unmap();
  // Huge pages need a 2 MiB-aligned range: map one huge page more and cut the
  // unaligned ends off.
  const std::size_t length = huge_pages ? kHugeBytes + kHugePage : kBytes;
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  base_ = mapped;
  length_ = length;
  if (huge_pages) {
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(mapped, aligned - start);
    const std::uintptr_t tail = aligned + kHugeBytes;
    const std::uintptr_t end = start + length;
    if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
    base_ = reinterpret_cast<void*>(aligned);
    length_ = kHugeBytes;
    // Only advice: without huge pages the walk is slower, never wrong.
    (void)madvise(base_, length_, MADV_HUGEPAGE);
  }
  huge_pages_ = huge_pages;
  touched_ = 0;
  tt_ = static_cast<std::uint32_t*>(base_);
  bytes_ = reinterpret_cast<std::uint8_t*>(tt_ + kCapacity);
}

#endif

}  // namespace morvane::decoder
