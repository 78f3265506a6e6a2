// The _core module: its definition with multi-phase initialisation, and the
// exec step that adds the eight attributes, each also listed in __all__.
#include "errors.hpp"
#include "functions.hpp"
#include "reader.hpp"

#include "morvane/version.hpp"

namespace morvane::python {

namespace {

// The module's __all__ list, created empty when the module has none; a new reference.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all) {
    if (PyList_Check(all)) return all;
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return nullptr;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  all = PyList_New(0);
  if (all && PyObject_SetAttrString(module, "__all__", all) != 0) {
    Py_CLEAR(all);
  }
  return all;
}

// Appends the name to __all__, then sets the attribute; false with the error set.
bool add(PyObject* module, const char* name, Ref value) {
  if (!value) return false;
  Ref all = Ref::steal(all_list(module));
  if (!all) return false;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
  return PyObject_SetAttr(module, key.get(), value.get()) == 0;
}

// A built-in function bound to the module, added under its own name.
bool add_function(PyObject* module, PyMethodDef* definition) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  return add(module, definition->ml_name, Ref::steal(PyCFunction_NewEx(definition, module, name.get())));
}

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'", Py_TYPE(module)->tp_name);
      return -1;
    }
    for (PyMethodDef* function :
         {&scan_function, &crc32_function, &decompress_function, &build_index_function, &test_function}) {
      if (!add_function(module, function)) return -1;
    }
    if (!add(module, "_IndexedReader", Ref::borrow(indexed_reader_type()))) return -1;
    if (!add(module, "BadBzip2File", Ref::borrow(bad_bzip2_file_type()))) return -1;
    if (!add(module, "__version__", Ref::steal(PyUnicode_FromStringAndSize(kVersion.data(), static_cast<Py_ssize_t>(kVersion.size()))))) return -1;
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Nothing here relies on the global interpreter lock for its own data.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",       // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: the exec step adds the functions
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace morvane::python

PyMODINIT_FUNC PyInit__core(void) {
  return PyModuleDef_Init(&morvane::python::module_definition);
}
