// The interpreter embedded in the module target: started once, with every
// Python allocation on the ordinary allocator, so that the address sanitizer
// sees inside Python objects and its count of live bytes covers them; owned
// references; calls with the fast calling convention and keywords; the outcome
// of a call (its result or the exception it raised) checked for the
// references it leaves behind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "python/binding.hpp"

namespace morvane::fuzz::py {

// An owned reference: the module's own.
using Obj = python::Ref;

// A new object that must exist: the interpreter failing here is a finding.
inline Obj made(PyObject* object) {
  if (!object) PyErr_Print();
  FUZZ_CHECK(object != nullptr);
  return Obj::steal(object);
}

inline Obj bytes(std::span<const std::uint8_t> data) {
  return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                        static_cast<Py_ssize_t>(data.size())));
}
inline Obj str(const std::string& text) {
  return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Obj integer(std::int64_t value) { return made(PyLong_FromLongLong(value)); }
inline Obj unsigned_integer(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }
// Any integer, written in decimal ("18446744073709551616").
inline Obj big(const char* decimal) { return made(PyLong_FromString(decimal, nullptr, 10)); }
inline Obj attr(PyObject* object, const char* name) { return made(PyObject_GetAttrString(object, name)); }

inline std::span<const std::uint8_t> bytes_of(PyObject* object) {
  FUZZ_CHECK(PyBytes_CheckExact(object));
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

inline std::string text_of(PyObject* object) {
  Obj s = made(PyObject_Str(object));
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s.get(), &length);
  FUZZ_CHECK(text != nullptr);
  return {text, static_cast<std::size_t>(length)};
}

// Starts the interpreter, isolated from the environment and without site, its
// own signal handlers or bytecode files, and puts `module_dir` first on the path.
inline void start(const char* module_dir) {
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  FUZZ_CHECK(!PyStatus_Exception(Py_PreInitialize(&pre)));
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.site_import = 0;
  config.install_signal_handlers = 0;
  config.write_bytecode = 0;
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  FUZZ_CHECK(!PyStatus_Exception(status));
  PyObject* path = PySys_GetObject("path");  // borrowed
  FUZZ_CHECK(path != nullptr && PyList_Insert(path, 0, str(module_dir).get()) == 0);
}

// What a call gave: its result, or the exception it raised (one of them is set).
struct Outcome {
  Obj result;
  Obj exception;

  bool raised(PyObject* type) const { return exception && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(type); }
  std::string message() const { return exception ? text_of(exception.get()) : std::string(); }
  // Whether the exception carries the note naming parameter `param`.
  bool noted(const std::string& param) const {
    Obj notes = Obj::steal(PyObject_GetAttrString(exception.get(), "__notes__"));
    if (!notes) {
      PyErr_Clear();
      return false;
    }
    Obj want = str("while processing '" + param + "'");
    return PySequence_Contains(notes.get(), want.get()) == 1;
  }
};

// A call: positional arguments, then keywords.
struct Call {
  PyObject* callable = nullptr;
  std::vector<PyObject*> positional;
  std::vector<std::pair<std::string, PyObject*>> keywords;
};

inline Outcome invoke(const Call& call) {
  std::vector<PyObject*> args = call.positional;
  Obj names;
  if (!call.keywords.empty()) {
    names = made(PyTuple_New(static_cast<Py_ssize_t>(call.keywords.size())));
    for (std::size_t i = 0; i < call.keywords.size(); ++i) {
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), str(call.keywords[i].first).release());
      args.push_back(call.keywords[i].second);
    }
  }
  Outcome out;
  out.result = Obj::steal(PyObject_Vectorcall(call.callable, args.data(), call.positional.size(), names.get()));
  // A function either returns a result or raises, never both.
  FUZZ_CHECK(!out.result == (PyErr_Occurred() != nullptr));
  if (!out.result) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    out.exception = Obj::steal(value);
  }
  return out;
}

// The bytes held by live allocations, as the address sanitizer counts them
// (0 in a build without it, such as the coverage build: no leak is seen
// there). The interpreter's cache of type attribute lookups is emptied first:
// it is indexed by the address of the name looked up, so a name made afresh
// by each call (as a C string turned into a str by PyObject_CallMethod) takes
// a new entry each time, and holds it.
inline std::size_t live_bytes() {
#if defined(__has_feature) && __has_feature(address_sanitizer)
  PyType_ClearCache();
  return __sanitizer_get_current_allocated_bytes();
#else
  return 0;
#endif
}

// Objects the interpreter shares: a count of them going up or down means a
// reference kept or dropped somewhere.
inline bool shared_object(PyObject* o) {
  if (o == Py_None || o == Py_True || o == Py_False) return true;
  if (PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) <= 1) return true;
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0 && v >= -5 && v <= 256;
  }
  return false;
}

// The reference counts of a call's arguments.
inline std::vector<Py_ssize_t> argument_counts(const Call& c) {
  std::vector<Py_ssize_t> counts;
  for (PyObject* a : c.positional) counts.push_back(Py_REFCNT(a));
  for (const auto& k : c.keywords) counts.push_back(Py_REFCNT(k.second));
  return counts;
}

inline void check_counts_kept(const Call& c, const std::vector<Py_ssize_t>& before) {
  const auto after = argument_counts(c);
  std::vector<PyObject*> args = c.positional;
  for (const auto& k : c.keywords) args.push_back(k.second);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (shared_object(args[i]) || after[i] == before[i]) continue;
    std::fprintf(stderr, "argument %zu (%s) held %zd references before the call and %zd after\n", i,
                 Py_TYPE(args[i])->tp_name, before[i], after[i]);
    FUZZ_CHECK(after[i] == before[i]);
  }
}

// Runs the call and checks the references it leaves: a new result or
// exception is held by the caller alone, and the arguments keep their counts
// (once the exception is gone, as an exception may hold its arguments: a
// UnicodeEncodeError holds the str it could not encode). A call that raised
// is run three times more, each outcome dropped at once: that its live bytes
// (the sanitizer's count, which covers every Python object here) grow every
// time is a leak on that error path. (A repeat of a call that raised changes
// nothing: a failed read stops where the failing block begins, and fails
// there again at once.)
inline Outcome call(const Call& c) {
  const auto counts = argument_counts(c);
  Outcome out = invoke(c);
  PyObject* fresh = out.result ? out.result.get() : out.exception.get();
  FUZZ_CHECK(fresh != nullptr);
  if (!shared_object(fresh) && Py_REFCNT(fresh) != 1) {
    std::fprintf(stderr, "%s holds %zd references\n", text_of(fresh).c_str(), Py_REFCNT(fresh));
    FUZZ_CHECK(Py_REFCNT(fresh) == 1);
  }
  if (out.result) {
    check_counts_kept(c, counts);
    return out;
  }

  bool grew_every_time = true;
  for (int repeat = 0; repeat < 3 && grew_every_time; ++repeat) {
    const auto counts_before = argument_counts(c);
    const std::size_t before = live_bytes();
    { Outcome discarded = invoke(c); }
    grew_every_time = live_bytes() > before;
    check_counts_kept(c, counts_before);
  }
  if (grew_every_time) std::fprintf(stderr, "leak on the path that raised: %s\n", out.message().c_str());
  FUZZ_CHECK(!grew_every_time);
  return out;
}

}  // namespace morvane::fuzz::py
