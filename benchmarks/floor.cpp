// Benchmark-only extension: the two floors that manilink's text functions
// are measured against. Never part of the wheel; benchmarks/run.py builds it.
//
//   bare(uri)     binds its one argument like manilink does and returns it.
//   convert(uri)  the same, and also converts the str to UTF-8, copies it into
//                 an owned std::string and builds a new str from the copy:
//                 the work every manilink text function must do anyway.
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x03090000
#include <Python.h>

#include <string>

namespace {

// The same binding as manilink's: one positional-or-keyword parameter.
PyObject *bind_one(const char *name, PyObject *args, PyObject *kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return nullptr;
  if (given > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", name,
                 given);
    return nullptr;
  }
  PyObject *bound = given == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!PyUnicode_Check(keyword) || PyUnicode_CompareWithASCIIString(keyword, "uri") != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", name);
        return nullptr;
      }
      if (bound != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'uri'", name);
        return nullptr;
      }
      bound = value;
    }
  }
  if (bound == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'uri'", name);
  }
  return bound;
}

PyObject *bare(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
  PyObject *bound = bind_one("bare", args, kwargs);
  Py_XINCREF(bound);
  return bound;
}

PyObject *convert(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
  try {
    PyObject *bound = bind_one("convert", args, kwargs);
    if (bound == nullptr) return nullptr;
    if ((PyType_GetFlags(Py_TYPE(bound)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
      PyErr_SetString(PyExc_TypeError, "uri must be a str");
      return nullptr;
    }
    PyObject *utf8 = PyUnicode_AsUTF8String(bound);
    if (utf8 == nullptr) return nullptr;
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(utf8, &data, &size) < 0) {
      Py_DECREF(utf8);
      return nullptr;
    }
    const std::string copy(data, static_cast<std::size_t>(size));
    Py_DECREF(utf8);
    return PyUnicode_FromStringAndSize(copy.data(), static_cast<Py_ssize_t>(copy.size()));
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

PyMethodDef methods[] = {
    {"bare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bare)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "benchfloor", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_benchfloor(void) { return PyModule_Create(&definition); }
