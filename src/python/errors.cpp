#include "errors.hpp"

namespace morvane::python {

namespace {

ProcessOnce bad_bzip2_file;

PyObject* create_bad_bzip2_file() {
  PyObject* type = PyErr_NewException("morvane.BadBzip2File", PyExc_OSError, nullptr);
  if (!type) {
    // The interpreter's own error (memory exhausted) is replaced by the fault.
    PyErr_Clear();
    raise_fault("Failed to initialize new exception type.");
  }
  return type;
}

}  // namespace

PyObject* bad_bzip2_file_type() { return bad_bzip2_file.get(create_bad_bzip2_file); }

PyErrorSpec python_error(Error error) {
  switch (error.tag()) {
    case Error::Tag::InvalidIndex:
    case Error::Tag::InvalidConfiguration:
      return {PyErrorKind::ValueError, std::string(error.reason())};
    case Error::Tag::Io:
      return {PyErrorKind::OSError, error.get_if<Error::Io>()->error.display()};
    default:
      return {PyErrorKind::BadBzip2File, error.display()};
  }
}

PyObject* raise(const PyErrorSpec& error) {
  PyObject* type = nullptr;
  switch (error.kind) {
    case PyErrorKind::ValueError: type = PyExc_ValueError; break;
    case PyErrorKind::OSError: type = PyExc_OSError; break;
    case PyErrorKind::BadBzip2File: type = bad_bzip2_file_type(); break;
  }
  if (!type) return nullptr;
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(error.message.data(),
                                                       static_cast<Py_ssize_t>(error.message.size())));
  if (!message) return nullptr;
  Ref instance = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!instance) return nullptr;
  PyErr_SetObject(type, instance.get());
  return nullptr;
}

}  // namespace morvane::python
