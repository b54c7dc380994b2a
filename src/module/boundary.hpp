// The boundary between the interpreter and the module: every entry passes
// through at_boundary, which raises a body's Failure as exactly one exception.
//
// What holds at every interpreter call by construction:
// - A thread that the interpreter ends inside a call (CPython 3.9 to 3.13 end
//   daemon threads at exit with a forced unwind) crosses the glue untouched:
//   the glue is built without exceptions, so its frames hold no cleanups for
//   the unwinder to run, and nothing throws through them (the build checks
//   that the glue calls nothing that throws; see edge.hpp).
// - Re-entry through user code is bounded: every entry counts as a level of
//   the interpreter's own recursion guard, and the frames that can call back
//   into Python hold no large buffers.
#pragma once

#include "module/python.hpp"

#include "module/failure.hpp"

namespace manilink {

// Raises `failure`: afterwards exactly one exception is pending.
void raise_failure(const Failure &failure) noexcept;

// A new reference for the interpreter, or null with one exception set.
inline PyObject *hand_over(Outcome<ObjectRef> outcome) noexcept {
  if (fault_injection::lose_outcome()) {
    PyErr_Clear();
    outcome = Failure::raised();
  }
  if (!outcome.failed()) return outcome.value().release();
  raise_failure(outcome.failure());
  return nullptr;
}

// Runs `body` (returning an Outcome<ObjectRef>) as one level of the
// interpreter's recursion guard and hands its outcome over.
template <class Body>
PyObject *at_boundary(Body &&body) noexcept {
  if (Py_EnterRecursiveCall(" while calling a manilink function") != 0) return nullptr;
  Failure injected;
  PyObject *const result =
      hand_over(fault_injection::begin_call(injected) ? Outcome<ObjectRef>(injected) : body());
  Py_LeaveRecursiveCall();
  return result;
}

// A function body: the call's arguments in, its result or Failure out.
using FunctionBody = Outcome<ObjectRef> (*)(PyObject *args, PyObject *kwargs);

// The METH_VARARGS | METH_KEYWORDS entry of a function body.
template <FunctionBody body>
PyObject *function_entry(PyObject * /*module*/, PyObject *args, PyObject *kwargs) noexcept {
  return at_boundary([&] { return body(args, kwargs); });
}

}  // namespace manilink
