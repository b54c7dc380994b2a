// Benchmark-only extension: the two floors that manilink's text functions
// are measured against. Never part of the wheel; benchmarks/run.py builds it.
//
//   bare(uri)     binds its one argument like manilink does and returns it.
//   convert(uri)  the same, and also converts the str to UTF-8, copies it into
//                 an owned std::string and builds a new str from the copy:
//                 the work every manilink text function must do anyway.
//   discover(values)
//                 binds `values` the same way, converts every item with
//                 PyUnicode_AsUTF8String into an owned std::string, builds
//                 one dict with three fresh keys ("uri" a new str of the
//                 first value, "jumbf" None, "is_embedded" False) and returns
//                 it in a one-item list. It parses nothing: the work that
//                 locate_all and extract must do anyway to report one link.
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x03090000
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

// The same binding as manilink's: one positional-or-keyword parameter.
PyObject *bind_one(const char *name, const char *parameter, PyObject *args, PyObject *kwargs) {
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
      if (!PyUnicode_Check(keyword) || PyUnicode_CompareWithASCIIString(keyword, parameter) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", name);
        return nullptr;
      }
      if (bound != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name,
                     parameter);
        return nullptr;
      }
      bound = value;
    }
  }
  if (bound == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", name,
                 parameter);
  }
  return bound;
}

PyObject *bare(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
  PyObject *bound = bind_one("bare", "uri", args, kwargs);
  Py_XINCREF(bound);
  return bound;
}

bool is_str(PyObject *object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// An owned copy of the UTF-8 form of a str, as manilink makes it.
bool owned_text(PyObject *object, std::string &text) {
  if (!is_str(object)) {
    PyErr_SetString(PyExc_TypeError, "expected a str");
    return false;
  }
  PyObject *utf8 = PyUnicode_AsUTF8String(object);
  if (utf8 == nullptr) return false;
  char *data = nullptr;
  Py_ssize_t size = 0;
  const bool ok = PyBytes_AsStringAndSize(utf8, &data, &size) == 0;
  if (ok) text.assign(data, static_cast<std::size_t>(size));
  Py_DECREF(utf8);
  return ok;
}

PyObject *convert(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
  try {
    PyObject *bound = bind_one("convert", "uri", args, kwargs);
    if (bound == nullptr) return nullptr;
    std::string copy;
    if (!owned_text(bound, copy)) return nullptr;
    return PyUnicode_FromStringAndSize(copy.data(), static_cast<Py_ssize_t>(copy.size()));
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

PyObject *new_reference(PyObject *object) {
  Py_INCREF(object);
  return object;
}

// Stores value under a fresh key; takes over `value`.
bool set_item(PyObject *dict, const char *key, PyObject *value) {
  PyObject *key_object = value == nullptr ? nullptr : PyUnicode_FromString(key);
  const bool ok = key_object != nullptr && PyDict_SetItem(dict, key_object, value) == 0;
  Py_XDECREF(key_object);
  Py_XDECREF(value);
  return ok;
}

PyObject *discover(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
  try {
    PyObject *bound = bind_one("discover", "values", args, kwargs);
    if (bound == nullptr) return nullptr;
    if (is_str(bound) || !PySequence_Check(bound)) {
      PyErr_SetString(PyExc_TypeError, "values must be a sequence of str");
      return nullptr;
    }
    std::vector<std::string> texts;
    const Py_ssize_t length = PySequence_Size(bound);
    if (length < 0) {
      PyErr_Clear();
    } else {
      texts.reserve(static_cast<std::size_t>(length));
    }
    PyObject *iterator = PyObject_GetIter(bound);
    if (iterator == nullptr) return nullptr;
    while (PyObject *item = PyIter_Next(iterator)) {
      texts.emplace_back();
      const bool ok = owned_text(item, texts.back());
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(iterator);
        return nullptr;
      }
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred() != nullptr) return nullptr;
    const std::string_view uri = texts.empty() ? std::string_view() : texts.front();
    PyObject *dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (!set_item(dict, "uri",
                  PyUnicode_FromStringAndSize(uri.data(), static_cast<Py_ssize_t>(uri.size()))) ||
        !set_item(dict, "jumbf", new_reference(Py_None)) ||
        !set_item(dict, "is_embedded", new_reference(Py_False))) {
      Py_DECREF(dict);
      return nullptr;
    }
    PyObject *list = PyList_New(1);
    if (list == nullptr) {
      Py_DECREF(dict);
      return nullptr;
    }
    PyList_SetItem(list, 0, dict);
    return list;
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
    {"discover", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discover)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "benchfloor", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_benchfloor(void) { return PyModule_Create(&definition); }
