// An owning reference to an interpreter object.
#pragma once

#include "module/python.hpp"

namespace manilink {

// Holds one strong reference and releases it exactly once. Empty means that
// the call which should have produced the object failed.
class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(const ObjectRef &) = delete;
  ObjectRef &operator=(const ObjectRef &) = delete;
  ObjectRef(ObjectRef &&other) noexcept : object_(other.release()) {}
  ObjectRef &operator=(ObjectRef &&other) noexcept {
    PyObject *old = object_;
    object_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~ObjectRef() { Py_XDECREF(object_); }

  // Takes over a new reference (or null).
  static ObjectRef steal(PyObject *object) noexcept { return ObjectRef(object); }
  // Adds a reference of its own to a borrowed object.
  static ObjectRef borrow(PyObject *object) noexcept {
    Py_XINCREF(object);
    return ObjectRef(object);
  }

  PyObject *get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller.
  PyObject *release() noexcept {
    PyObject *object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  explicit ObjectRef(PyObject *object) noexcept : object_(object) {}
  PyObject *object_ = nullptr;
};

}  // namespace manilink
