// The one owning wrapper for interpreter objects.
#pragma once

#include "module/python.hpp"

#include <atomic>

namespace manilink {

// Holds one strong reference and releases it exactly once.
//
// The glue is built without exceptions, so a thread that the interpreter
// ends with a forced unwind (CPython 3.9 to 3.13 end daemon threads that way
// at exit) passes its frames without running this destructor: nothing
// touches the interpreter on a thread that no longer holds it.
class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(const ObjectRef &) = delete;
  ObjectRef &operator=(const ObjectRef &) = delete;
  ObjectRef(ObjectRef &&other) noexcept : object_(other.release()) {}
  ObjectRef &operator=(ObjectRef &&other) noexcept {
    if (&other != this) {
      PyObject *const old = object_;
      object_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  ~ObjectRef() { Py_XDECREF(object_); }

  // Takes over a new reference (steals it).
  static ObjectRef steal(PyObject *new_reference) noexcept { return ObjectRef(new_reference); }
  // Adds a reference of its own to a borrowed object.
  static ObjectRef add_reference(PyObject *borrowed) noexcept {
    Py_XINCREF(borrowed);
    return ObjectRef(borrowed);
  }

  PyObject *get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller.
  PyObject *release() noexcept {
    PyObject *const object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  explicit ObjectRef(PyObject *object) noexcept : object_(object) {}

  PyObject *object_ = nullptr;
};

// The pending exception, taken over (PyErr_Fetch) and normalized, which may
// make its instance.
struct FetchedError {
  ObjectRef type, value, traceback;

  static FetchedError take() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {ObjectRef::steal(type), ObjectRef::steal(value), ObjectRef::steal(traceback)};
  }
};

// Whether this thread runs in the main interpreter: what a sub-interpreter
// makes dies with it, so only the main interpreter's is kept for the process.
inline bool in_main_interpreter() noexcept {
  return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
}

// Publishes `made` (a new reference) in `cell` unless another thread did so
// first, in which case `made` is released. Returns the published object,
// which the cell keeps until the process ends (borrowed).
inline PyObject *publish_once(std::atomic<PyObject *> &cell, PyObject *made) noexcept {
  PyObject *published = nullptr;
  if (cell.compare_exchange_strong(published, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);
  return published;
}

}  // namespace manilink
