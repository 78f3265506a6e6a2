// The _IndexedReader class: random access to the decoded contents of one
// bzip2 input from Python.
#pragma once

#include "binding.hpp"

namespace morvane::python {

// The process-wide type object "builtins._IndexedReader", created on first
// use. A borrowed reference, or nullptr with an exception set.
PyObject* indexed_reader_type();

}  // namespace morvane::python
