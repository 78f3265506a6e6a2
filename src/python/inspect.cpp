// _scan and bz2_crc32: read the bytes object in place, so the interpreter lock
// is kept for the whole call.
#include "errors.hpp"
#include "functions.hpp"

#include "morvane/decoder/crc32.hpp"
#include "morvane/format/scan.hpp"

namespace morvane::python {

namespace {

// Appends a new tuple built by Py_BuildValue; false with the error set.
template <class... A>
bool append_tuple(PyObject* list, const char* format, A... values) {
  Ref item = Ref::steal(Py_BuildValue(format, values...));
  return item && PyList_Append(list, item.get()) == 0;
}

PyObject* scan_result_tuple(const format::ScanResult& scan) {
  Ref streams = Ref::steal(PyList_New(0));
  Ref blocks = Ref::steal(PyList_New(0));
  Ref ends = Ref::steal(PyList_New(0));
  if (!streams || !blocks || !ends) return nullptr;
  for (const auto& s : scan.streams) {
    if (!append_tuple(streams.get(), "(KB)", static_cast<unsigned long long>(s.byte_offset), s.level)) {
      return nullptr;
    }
  }
  for (const auto& b : scan.blocks) {
    // The randomized flag stands before the origin pointer here.
    if (!append_tuple(blocks.get(), "(KkOk)", static_cast<unsigned long long>(b.bit_offset),
                      static_cast<unsigned long>(b.crc), b.randomized ? Py_True : Py_False,
                      static_cast<unsigned long>(b.orig_ptr))) {
      return nullptr;
    }
  }
  for (const auto& e : scan.ends) {
    if (!append_tuple(ends.get(), "(Kk)", static_cast<unsigned long long>(e.bit_offset),
                      static_cast<unsigned long>(e.crc))) {
      return nullptr;
    }
  }
  return PyTuple_Pack(3, streams.get(), blocks.get(), ends.get());
}

constexpr Params<1> kScanParams{"_scan", {"data"}, 1};

PyObject* py_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kScanParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto data = to_bytes((*slots)[0], "data");
    if (!data) return nullptr;
    const Result<format::ScanResult> scan = format::scan_input(*data);
    if (!scan) {
      PyErr_SetString(PyExc_ValueError, scan.error().display().c_str());
      return nullptr;
    }
    return scan_result_tuple(*scan);
  });
}

constexpr Params<1> kCrcParams{"bz2_crc32", {"data"}, 1};

PyObject* py_bz2_crc32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kCrcParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto data = to_bytes((*slots)[0], "data");
    if (!data) return nullptr;
    return PyLong_FromUnsignedLong(decoder::crc32_bzip2(*data));
  });
}

}  // namespace

PyMethodDef scan_function = {"_scan", as_cfunction(py_scan), METH_FASTCALL | METH_KEYWORDS, "_scan(data)\n--\n\n"};
PyMethodDef crc32_function = {"bz2_crc32", as_cfunction(py_bz2_crc32), METH_FASTCALL | METH_KEYWORDS,
                              "bz2_crc32(data)\n--\n\n"};

}  // namespace morvane::python
