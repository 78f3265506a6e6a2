#include "signals.hpp"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace morvane::cli {
namespace {

constexpr int kTerminating[] = {SIGINT, SIGTERM, SIGHUP};

// The path a signal removes, published whole through one atomic pointer. Two
// buffers in turn: a new path is written into the one that is not published,
// so a handler that has just read the pointer never sees its text change.
char removal_paths[2][PATH_MAX];
std::atomic<const char*> removal_path{nullptr};
int next_buffer = 0;  // the main thread's only
static_assert(std::atomic<const char*>::is_always_lock_free);

sigset_t terminating_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kTerminating) sigaddset(&set, sig);
  return set;
}

// Async-signal-safe: an atomic load, unlink, sigaction and raise.
void on_terminating_signal(int sig) {
  const int saved_errno = errno;
  if (const char* path = removal_path.load(std::memory_order_acquire)) ::unlink(path);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  // Held back while this handler runs, delivered as it returns: the process
  // then ends by the signal, as it would have without the handler.
  raise(sig);
  errno = saved_errno;
}

}  // namespace

void install_signal_handlers() {
  for (int sig : kTerminating) {
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    action.sa_mask = terminating_set();  // one removal at a time
    sigaction(sig, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = terminating_set();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void remove_on_signal(const std::string& path) {
  // A longer path cannot have been created (ENAMETOOLONG).
  if (path.size() >= PATH_MAX) return remove_nothing_on_signal();
  char* buffer = removal_paths[next_buffer];
  next_buffer = 1 - next_buffer;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  removal_path.store(buffer, std::memory_order_release);
}

void remove_nothing_on_signal() { removal_path.store(nullptr, std::memory_order_release); }

}  // namespace morvane::cli
