// The boundary between the interpreter and the module's C++ code.
#pragma once

#include "module/python.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "module/object_ref.hpp"

namespace manilink {

// A failure of the module's native code; the entry layer raises it as
// InternalFailure.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Takes over the new reference returned by an object-creating call. When the
// interpreter returned none, prints its pending exception and throws
// InternalError("Python API call failed").
ObjectRef created(PyObject *object);

// Replaces any pending exception with InternalFailure(text).
void raise_internal_failure(const char *text) noexcept;

// Raises SystemError when a body reported failure without an exception.
void ensure_exception_set() noexcept;

// Runs `body` (returning an ObjectRef; empty when an exception is set) and
// turns every outcome into what the interpreter expects: a new reference, or
// null with exactly one exception set. No C++ exception crosses this point;
// one thrown while a failure is being raised ends the process.
template <class Body>
PyObject *run_at_boundary(Body &&body) noexcept {
  try {
    ObjectRef result = body();
    if (!result) ensure_exception_set();
    return result.release();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure(nullptr);
  }
  return nullptr;
}

// A function body: binds and converts the call's arguments, runs the logic
// and builds the result.
using FunctionBody = ObjectRef (*)(PyObject *args, PyObject *kwargs);

// The METH_VARARGS | METH_KEYWORDS entry of a function body.
template <FunctionBody body>
PyObject *function_entry(PyObject * /*module*/, PyObject *args, PyObject *kwargs) noexcept {
  return run_at_boundary([&] { return body(args, kwargs); });
}

}  // namespace manilink
