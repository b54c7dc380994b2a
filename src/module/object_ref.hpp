// An owning reference to an interpreter object.
#pragma once

#include "module/python.hpp"

#include "module/python_call.hpp"

namespace manilink {

// Holds one strong reference and releases it exactly once. Empty means that
// the call which should have produced the object failed.
//
// Releasing may run Python code (a finalizer), which the interpreter may end
// by unwinding the thread, so the destructor is not noexcept; on a thread
// that the interpreter is ending it releases nothing.
class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(const ObjectRef &) = delete;
  ObjectRef &operator=(const ObjectRef &) = delete;
  ObjectRef(ObjectRef &&other) noexcept : object_(other.release()) {}
  ObjectRef &operator=(ObjectRef &&other) {
    PyObject *old = object_;
    object_ = other.release();
    release_reference(old);
    return *this;
  }
  ~ObjectRef() noexcept(false) { release_reference(object_); }

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

  static void release_reference(PyObject *object) {
    if (object == nullptr || interpreter_lost()) return;
    ReturnWatch watch;
    Py_DECREF(object);
    watch.returned();
  }

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

  // Makes `value` an instance of `type`; that may create the instance.
  void normalize() {
    PyObject *raw_type = type.release();
    PyObject *raw_value = value.release();
    PyObject *raw_traceback = traceback.release();
    call_python(PyErr_NormalizeException, &raw_type, &raw_value, &raw_traceback);
    *this = {ObjectRef::steal(raw_type), ObjectRef::steal(raw_value),
             ObjectRef::steal(raw_traceback)};
  }

  // Sets the exception again; PyErr_Restore steals the three references.
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace manilink
