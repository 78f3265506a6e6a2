// The library's own file mappings, registered so that a fault on one of them
// does not end the process. A mapped input faults (SIGBUS) when another
// process truncates the file, or when the device fails to deliver a page. The
// guard answers such a fault by putting pages of zeros in place of the lost
// ones and remembering it; the reading code goes on over the zeros, and the
// caller turns the mark into an I/O error where its call returns.
//
// Why this is safe:
// - The SIGBUS handler does only async-signal-safe things: lock-free atomic
//   loads and stores, mmap, sigaction and raise. It takes no lock and
//   allocates nothing, so it cannot deadlock with the code it interrupts,
//   which runs on as if it had read zeros (decoding code holding locks or
//   allocations is never jumped out of).
// - It acts only on a fault that the kernel raised (not a SIGBUS sent by a
//   process) at an address inside a registered mapping. Every other SIGBUS
//   goes on to the handler that was in place before the guard's (called as it
//   asked to be called), or takes the default action.
// - Threads: the fault is delivered to the thread that read the page, any
//   thread of a decode. Several threads faulting at once each map zeros over
//   the same pages, which is harmless, and each set the same mark.
// - Several mappings: each has its own slot and mark. Slots are written under
//   a mutex and read by the handler through a sequence count, so a slot that
//   is being filled or emptied is skipped, never misread; the slot of a
//   mapping that faults cannot change meanwhile, since a mapping is
//   unregistered only after its last reader has gone.
// - The handler is installed once, when the first mapping is registered. A
//   handler installed after it without passing faults on (Python's
//   faulthandler enabled later) takes precedence, and a fault then ends the
//   process as it would without the guard.
#pragma once

#include <cstddef>

namespace morvane {

// Lives exactly as long as the mapping's registration: never copied or moved.
class MappingGuard {
 public:
  // Registers [base, base + length); installs the handler on first use.
  MappingGuard(const void* base, std::size_t length);
  MappingGuard(const MappingGuard&) = delete;
  MappingGuard& operator=(const MappingGuard&) = delete;
  ~MappingGuard();

  // Whether a fault in the mapping has been answered with zeros so far.
  bool faulted() const;

  struct Slot;

 private:
  Slot* slot_;
};

}  // namespace morvane
