// The module's five functions, as method descriptions the exec step binds to
// the module, in the order they are added.
#pragma once

#include "binding.hpp"

namespace morvane::python {

extern PyMethodDef scan_function;         // _scan(data)
extern PyMethodDef crc32_function;        // bz2_crc32(data)
extern PyMethodDef decompress_function;   // _decompress(data, threads=0, memory_limit=...)
extern PyMethodDef build_index_function;  // _build_index(path, threads=0, memory_limit=...)
extern PyMethodDef test_function;         // _test(path, threads=0, memory_limit=...)

}  // namespace morvane::python
