#include "binding.hpp"

#include <cstring>
#include <limits>

namespace morvane::python {

namespace {

// Adds "while processing '<param>'" to the notes of the pending exception,
// keeping its type, message and traceback.
void add_parameter_note(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  PyObject* exc = value;
#endif
  if (exc) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    Ref done;
    if (note) done = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    // A failure to add the note must not replace the conversion's own error.
    if (!done) PyErr_Clear();
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(type, value, traceback);
#endif
}

template <class T>
std::optional<T> noted(const char* param) {
  add_parameter_note(param);
  return std::nullopt;
}

// The object as an exact int, through __index__ where it is not one.
Ref to_index(PyObject* object) { return Ref::steal(PyNumber_Index(object)); }

}  // namespace

bool match_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  const auto count = static_cast<Py_ssize_t>(names.size());
  if (nargs > count) {
    if (required == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", function, count,
                   count == 1 ? "" : "s", nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zd positional arguments but %zd were given", function,
                   required, count, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = names.size();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        found = i;
        break;
      }
    }
    if (found == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (slots[found]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[found]);
      return false;
    }
    slots[found] = args[nargs + k];
  }

  for (std::size_t i = 0; i < required; ++i) {
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i], i + 1);
      return false;
    }
  }
  return true;
}

std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* object, const char* param) {
  if (!PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, got '%s'", Py_TYPE(object)->tp_name);
    return noted<std::span<const std::uint8_t>>(param);
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
  return std::span<const std::uint8_t>(data, static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

std::optional<std::string> to_utf8(PyObject* object, const char* param) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected str, got '%s'", Py_TYPE(object)->tp_name);
    return noted<std::string>(param);
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (!text) return noted<std::string>(param);
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> to_u64(PyObject* object, const char* param) {
  Ref index = to_index(object);
  if (!index) return noted<std::uint64_t>(param);
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return noted<std::uint64_t>(param);
  return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> to_i64(PyObject* object, const char* param) {
  Ref index = to_index(object);
  if (!index) return noted<std::int64_t>(param);
  long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return noted<std::int64_t>(param);
  return static_cast<std::int64_t>(value);
}

std::optional<std::int32_t> to_i32(PyObject* object, const char* param) {
  Ref index = to_index(object);
  if (!index) return noted<std::int32_t>(param);
  long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return noted<std::int32_t>(param);
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return noted<std::int32_t>(param);
  }
  return static_cast<std::int32_t>(value);
}

std::optional<std::uint64_t> to_u64_or(PyObject* object, const char* param, std::uint64_t fallback) {
  if (!object) return fallback;
  return to_u64(object, param);
}

std::optional<std::int32_t> to_i32_or(PyObject* object, const char* param, std::int32_t fallback) {
  if (!object) return fallback;
  return to_i32(object, param);
}

PyObject* bytes_from(std::span<const std::uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

PyObject* raise_fault(const char* what) {
  PyErr_Format(PyExc_SystemError, "morvane internal fault: %s", what);
  return nullptr;
}

}  // namespace morvane::python
