// The checks shared by every mode that writes a file for an input.
#pragma once

#include <string>

#include "morvane/error.hpp"

namespace morvane::cli {

// Refuses a target that is the input itself: equal as paths, or, when both
// exist, one file under two names (same device and inode), which a lexical
// comparison misses (./a.bz2, a symbolic or hard link).
Result<void> check_not_input(const std::string& input, const std::string& target);

// Refuses a standard output that is the named input itself (same device and
// inode): "morvane -o - a.bz2 >> a.bz2" would append to the file being read.
Result<void> check_stdout_not_input(const std::string& input);

// Refuses to replace a target that is not a regular file or a symbolic link
// leading to one (a device such as /dev/null, a FIFO, a socket, a dangling
// link, /dev/stdout): a move would put a regular file in its place. The I/O
// error of kind InvalidInput "{} is not a regular file".
Result<void> check_replaceable(const std::string& target);

// "morvane: skipping existing {}" unless quiet.
void skip_notice(const std::string& target, bool quiet);

// The I/O error of kind AlreadyExists "{} already exists (use --force)".
Error already_exists(const std::string& target);

}  // namespace morvane::cli
