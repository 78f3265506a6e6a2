#include "morvane/mapping_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace morvane {

// One registered mapping. `sequence` is odd while the range is being written;
// `end` is 0 in a free slot, which no address matches.
struct MappingGuard::Slot {
  std::atomic<std::uint64_t> sequence{0};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

namespace {

using Slot = MappingGuard::Slot;
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uintptr_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<void*>::is_always_lock_free);

// Slots come in chunks that are linked once and never freed, so the handler
// can walk them at any moment without a lock.
constexpr std::size_t kSlotsPerChunk = 64;
struct Chunk {
  Slot slots[kSlotsPerChunk];
  std::atomic<Chunk*> next{nullptr};
};

std::atomic<Chunk*> first_chunk{nullptr};
std::mutex registry_mutex;  // taken by registration only, never by the handler
struct sigaction previous_action;  // written once, before the handler is installed
std::uintptr_t page_size = 0;

// The slot whose range holds `address`, read as a sequence lock reads. Every
// access to a slot is sequentially consistent (registration is rare, faults
// rarer), so a range read while it is rewritten shows a changed sequence
// without fences, which the thread sanitizer does not model.
Slot* slot_holding(std::uintptr_t address) {
  for (Chunk* chunk = first_chunk.load(); chunk; chunk = chunk->next.load()) {
    for (Slot& slot : chunk->slots) {
      const std::uint64_t before = slot.sequence.load();
      if (before % 2 != 0) continue;
      const std::uintptr_t begin = slot.begin.load();
      const std::uintptr_t end = slot.end.load();
      if (slot.sequence.load() != before) continue;
      if (begin <= address && address < end) return &slot;
    }
  }
  return nullptr;
}

void take_default_action(int sig, const siginfo_t* info) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  // A fault comes back by itself when the faulting instruction runs again;
  // a signal sent by a process is sent again, to be delivered on return.
  if (info->si_code <= 0) raise(sig);
}

// What would have happened without the guard.
void pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = previous_action;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler == SIG_IGN && info->si_code <= 0) {
    // A sent SIGBUS stays ignored; a fault cannot be ignored.
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
  } else {
    take_default_action(sig, info);
  }
}

void on_bus_error(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // si_code > 0: raised by the kernel for a memory access, si_addr is meaningful.
  if (info->si_code > 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (Slot* slot = slot_holding(address)) {
      // Pages of zeros from the faulting page to the mapping's end: a
      // truncated file has lost all of them, so the decode does not fault
      // again page by page.
      const std::uintptr_t page = address & ~(page_size - 1);
      const std::uintptr_t end = slot->end.load(std::memory_order_relaxed);
      void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (zeros != MAP_FAILED) {
        slot->faulted.store(true, std::memory_order_release);
        errno = saved_errno;
        return;
      }
    }
  }
  errno = saved_errno;
  pass_on(sig, info, context);
}

// Under registry_mutex, once.
void install_handler() {
  page_size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  sigaction(SIGBUS, nullptr, &previous_action);
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

// Under registry_mutex: a free slot, adding a chunk when every slot is taken.
Slot& free_slot() {
  std::atomic<Chunk*>* link = &first_chunk;
  for (Chunk* chunk = link->load(); chunk; chunk = link->load()) {
    for (Slot& slot : chunk->slots) {
      if (slot.end.load(std::memory_order_relaxed) == 0) return slot;
    }
    link = &chunk->next;
  }
  auto* chunk = new Chunk;
  link->store(chunk, std::memory_order_release);
  return chunk->slots[0];
}

// Under registry_mutex: writes the range between two steps of the sequence.
void write_range(Slot& slot, std::uintptr_t begin, std::uintptr_t end) {
  const std::uint64_t sequence = slot.sequence.load();
  slot.sequence.store(sequence + 1);
  slot.begin.store(begin);
  slot.end.store(end);
  slot.sequence.store(sequence + 2);
}

}  // namespace

MappingGuard::MappingGuard(const void* base, std::size_t length) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  static const bool installed = (install_handler(), true);
  (void)installed;
  slot_ = &free_slot();
  slot_->faulted.store(false, std::memory_order_relaxed);
  const auto begin = reinterpret_cast<std::uintptr_t>(base);
  write_range(*slot_, begin, begin + length);
}

MappingGuard::~MappingGuard() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  write_range(*slot_, 0, 0);
}

bool MappingGuard::faulted() const { return slot_->faulted.load(std::memory_order_acquire); }

}  // namespace morvane
