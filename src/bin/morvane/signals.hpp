// How the program meets signals. A terminating signal (SIGINT, SIGTERM,
// SIGHUP) removes the temporary output file, if there is one, and then ends
// the process as the signal would have. SIGPIPE and SIGXFSZ are ignored, so a
// closed pipe (EPIPE) and a write past the file-size limit (EFBIG) fail
// through the ordinary error path, which removes the temporary file too.
#pragma once

#include <signal.h>

#include <string>

namespace morvane::cli {

// Once, before any file is created. A terminating signal that was ignored at
// start (nohup, a background job) stays ignored.
void install_signal_handlers();

// Holds the terminating signals back in the calling thread while it lives, so
// that a file operation and the record of which file a signal removes change
// together: a signal that arrives meanwhile is handled once both are done.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Records the file that a terminating signal removes, or that there is none.
// The path is copied now, so the handler only calls unlink. Call these with
// the signals held, right after the file is created, moved or removed.
void remove_on_signal(const std::string& path);
void remove_nothing_on_signal();

}  // namespace morvane::cli
