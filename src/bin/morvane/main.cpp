// morvane: parallel and indexed bzip2 decompression from the command line.
#include <new>
#include <variant>

#include "cli.hpp"
#include "exit_status.hpp"
#include "run.hpp"
#include "signals.hpp"
#include "stdio.hpp"

int main(int argc, char** argv) {
  using namespace morvane::cli;
  // Before anything is opened, so no output file can land on descriptor 1.
  reopen_closed_standard_fds();
  // A closed pipe on standard output becomes the error EPIPE of the write
  // ("Broken pipe (os error 32)", status 1), not a death by signal; an
  // interrupted run leaves no temporary file behind.
  install_signal_handlers();

  auto parsed = parse_command_line(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  try {
    auto result = run(std::move(std::get<Cli>(parsed)));
    if (result) return kExitSuccess;
    write_stderr("morvane: " + result.error().display() + "\n");
    return exit_status(result.error());
  } catch (const std::bad_alloc&) {
    // Standard input is read whole and listings are held in memory: either may not fit.
    write_stderr("morvane: memory allocation failed\n");
    return kExitIo;
  }
}
