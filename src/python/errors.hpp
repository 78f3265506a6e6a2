// How library errors reach Python: the module's exception type BadBzip2File
// and python_error, the one mapping from a library Error to an exception.
#pragma once

#include "binding.hpp"

#include <string>

#include "morvane/error.hpp"

namespace morvane::python {

// The process-wide type "morvane.BadBzip2File" (base OSError), created on
// first need. A borrowed reference, or nullptr with an exception set.
PyObject* bad_bzip2_file_type();

enum class PyErrorKind { ValueError, OSError, BadBzip2File };

// An exception to raise: its type and its one argument, the message. The
// exception object itself is made only when it is raised.
struct PyErrorSpec {
  PyErrorKind kind;
  std::string message;
};

// InvalidIndex and InvalidConfiguration: ValueError with the bare reason;
// Io: OSError with the I/O error's text; every other variant: BadBzip2File
// with the error's display.
PyErrorSpec python_error(Error error);

// Raises the exception (created with the message as its only argument, so
// errno, strerror and filename stay None); always returns nullptr.
PyObject* raise(const PyErrorSpec& error);

// Shorthand for raise(python_error(error)).
inline PyObject* raise(Error error) { return raise(python_error(std::move(error))); }

}  // namespace morvane::python
