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

// The interpreter's pending exception, taken over with PyErr_Fetch so that it
// can be looked at, and handed back unchanged with restore().
struct PendingError {
  ObjectRef type;
  ObjectRef value;
  ObjectRef traceback;

  static PendingError fetch() noexcept {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    return {ObjectRef::steal(type), ObjectRef::steal(value), ObjectRef::steal(traceback)};
  }

  // Makes `value` an instance of `type`.
  void normalize() noexcept {
    PyObject *raw_type = type.release();
    PyObject *raw_value = value.release();
    PyObject *raw_traceback = traceback.release();
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    *this = {ObjectRef::steal(raw_type), ObjectRef::steal(raw_value),
             ObjectRef::steal(raw_traceback)};
  }

  // Sets the exception again; PyErr_Restore steals the three references.
  void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace manilink
