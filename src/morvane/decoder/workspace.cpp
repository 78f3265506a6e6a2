#include "morvane/decoder/workspace.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace morvane::decoder {
namespace {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;  // bytes

}  // namespace

Workspace::~Workspace() { std::free(base_); }

void Workspace::swap(Workspace& other) noexcept {
  std::swap(base_, other.base_);
  std::swap(capacity_, other.capacity_);
  std::swap(tt_, other.tt_);
  std::swap(bytes_, other.bytes_);
}

void Workspace::reserve(std::size_t entries) {
  if (entries <= capacity_) return;
  const std::size_t words = entries * sizeof(std::uint32_t);
  const std::size_t bytes = (words + 3 * entries + kHugePage - 1) / kHugePage * kHugePage;
  void* base = std::aligned_alloc(kHugePage, bytes);
  if (base == nullptr) throw std::bad_alloc();
  // Only advice: without huge pages the walk is slower, never wrong.
  (void)madvise(base, bytes, MADV_HUGEPAGE);
  std::free(base_);
  base_ = base;
  capacity_ = entries;
  tt_ = static_cast<std::uint32_t*>(base);
  bytes_ = reinterpret_cast<std::uint8_t*>(tt_ + entries);
}

}  // namespace morvane::decoder
