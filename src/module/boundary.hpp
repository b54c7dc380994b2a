// The boundary between the interpreter and the module: every entry passes
// through at_boundary, which raises a body's Failure as exactly one exception.
// By construction, a thread that the interpreter ends inside a call (CPython
// 3.9 to 3.13 end daemon threads at exit with a forced unwind) crosses the
// glue untouched: built without exceptions, its frames hold no cleanups for
// the unwinder to run, and it calls nothing that throws (see edge.hpp). And
// re-entry through user code is bounded: every entry is a level of the
// interpreter's recursion guard, and no frame that can call back into Python
// holds a large buffer.
#pragma once

#include "module/python.hpp"

#include "module/failure.hpp"

namespace manilink {

// Raises `failure`: afterwards exactly one exception is pending.
void raise_failure(const Failure &failure) noexcept;

// A new reference for the interpreter, or null with one exception set.
inline PyObject *hand_over(Outcome<ObjectRef> outcome) noexcept {
  if (!outcome.failed()) return outcome.value().release();
  raise_failure(outcome.failure());
  return nullptr;
}

// The outcome of `body`, or the failure a test build's fault switch puts in
// its place.
template <class Body>
Outcome<ObjectRef> run_body(Body &body) noexcept {
  const fault_seam::Call fault = fault_seam::begin_call();
  if (fault == fault_seam::Call::Run) return body();
  if (fault == fault_seam::Call::LoseError) return Failure::raised();  // with nothing pending
  if (fault == fault_seam::Call::NoMemory) return LinkError::out_of_memory();
  return LinkError::internal(fault == fault_seam::Call::Internal ? "injected failure" : "");
}

// Runs `body` (returning an Outcome<ObjectRef>) as one level of the
// interpreter's recursion guard and hands its outcome over.
template <class Body>
PyObject *at_boundary(Body &&body) noexcept {
  if (Py_EnterRecursiveCall(" while calling a manilink function") != 0) return nullptr;
  PyObject *const result = hand_over(run_body(body));
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
