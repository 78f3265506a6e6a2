// The checks shared by every mode that writes a file for an input.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "morvane/error.hpp"

namespace morvane::cli {

// Refuses a target that is the input itself: equal as paths, or, when both
// exist, one file under two names (same device and inode), which a lexical
// comparison misses (./a.bz2, a symbolic or hard link).
Result<void> check_not_input(const std::string& input, const std::string& target);

// Refuses a run in which the file one input writes is another input of the
// run, equal as a path or one file under two names: writing it would replace
// (and with --rm lose) that input before it is read. `targets[i]` is the file
// that input i writes, or nothing for standard output.
Result<void> check_no_target_is_another_input(std::span<const std::string> inputs,
                                              std::span<const std::optional<std::string>> targets);

// Refuses a standard output that is the input itself, a regular file (same
// device and inode) that writing would change under the reader: the named
// input ("morvane -o - a.bz2 >> a.bz2") or, for "-", standard input
// ("morvane - < a.bz2 >> a.bz2", reported as "stdin"). A device or a pipe,
// which no write can damage, is let through.
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
