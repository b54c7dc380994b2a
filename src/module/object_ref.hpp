// The one owning wrapper for interpreter objects.
#pragma once

#include "module/python.hpp"

#include <cstddef>
#include <type_traits>

namespace manilink {

// Holds one strong reference and releases it exactly once. A thread that the
// interpreter ends with a forced unwind passes this destructor by (the glue is
// built without exceptions): nothing touches the interpreter on a thread that
// no longer holds it.
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

// The pending exception, taken over (PyErr_Fetch) and normalized.
struct FetchedError {
  ObjectRef type, value, traceback;

  static FetchedError take() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {ObjectRef::steal(type), ObjectRef::steal(value), ObjectRef::steal(traceback)};
  }
};

// Memory from the interpreter's allocator for `T`s, plain data that moves
// as bytes when the block grows. Freed exactly once.
template <class T>
class MemoryArray {
  static_assert(std::is_trivially_copyable_v<T>, "the block moves its items as bytes");

 public:
  MemoryArray() noexcept = default;
  MemoryArray(const MemoryArray &) = delete;
  MemoryArray &operator=(const MemoryArray &) = delete;
  ~MemoryArray() { PyMem_Free(data_); }

  // Room for `count` items in all, keeping those held; false, with
  // MemoryError set, when there is none.
  bool resize(std::size_t count) noexcept {
    void *grown =
        count > PY_SSIZE_T_MAX / sizeof(T) ? nullptr : PyMem_Realloc(data_, count * sizeof(T));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<T *>(grown);
    return true;
  }
  T *data() const noexcept { return data_; }

 private:
  T *data_ = nullptr;
};

}  // namespace manilink
