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
void raise_internal_failure(const char *text);

// Raises SystemError when a body reported failure without an exception.
void ensure_exception_set();

#ifdef MANILINK_FAULT_INJECTION
// Test-only switch, never part of a release build: the environment variable
// MANILINK_FAULT, read at every entry, makes the next calls fail on purpose
// so that the failure paths can be exercised from Python:
//   create:N      the N-th object creation of each call fails as if the
//                 interpreter had run out of memory
//   throw         the body throws an InternalError with a text
//   throw-opaque  the body throws something that is not a std::exception
//   bad-alloc     the body throws std::bad_alloc
//   lose-error    the body's outcome is dropped with no exception pending
namespace fault_injection {
void begin_call();
bool fail_creation() noexcept;
bool lose_outcome() noexcept;
}  // namespace fault_injection
#endif

// Runs `body` (returning an ObjectRef; empty when an exception is set) and
// turns every outcome into what the interpreter expects: a new reference, or
// null with exactly one exception set. No C++ exception crosses this point:
// one thrown while a failure is being raised finds no handler above and ends
// the process. The one thing that passes is the unwinding of a thread that
// the interpreter is ending (see python_call.hpp), which must not be stopped,
// so neither this layer nor anything below it is noexcept.
template <class Body>
PyObject *run_at_boundary(Body &&body) {
  try {
#ifdef MANILINK_FAULT_INJECTION
    fault_injection::begin_call();
    ObjectRef result = body();
    if (fault_injection::lose_outcome()) {
      result = ObjectRef();
      PyErr_Clear();
    }
#else
    ObjectRef result = body();
#endif
    if (!result) ensure_exception_set();
    return result.release();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    if (interpreter_lost()) throw;
    raise_internal_failure(nullptr);
  }
  return nullptr;
}

// A function body: binds and converts the call's arguments, runs the logic
// and builds the result.
using FunctionBody = ObjectRef (*)(PyObject *args, PyObject *kwargs);

// The METH_VARARGS | METH_KEYWORDS entry of a function body.
template <FunctionBody body>
PyObject *function_entry(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
  return run_at_boundary([&] { return body(args, kwargs); });
}

}  // namespace manilink
