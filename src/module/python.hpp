// The one way into the CPython headers: every glue file includes this first.
// A GIL build uses the 3.9 stable ABI; a free-threaded build (Py_GIL_DISABLED,
// from pyconfig.h) has no limited API and is built for its own version.
#pragma once

// A forced unwind must cross the glue's frames untouched, so no glue file is
// built with exceptions (the build check proves the same of the objects).
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#error "the interpreter glue is built without exceptions (-fno-exceptions, /EHs-c-)"
#endif

#define PY_SSIZE_T_CLEAN
#include <pyconfig.h>
#if !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API)
#define Py_LIMITED_API 0x03090000
#endif
#include <Python.h>

#if defined(Py_GIL_DISABLED) == defined(Py_LIMITED_API)
#error "build for the 3.9 stable ABI, or free-threaded without the limited API"
#elif defined(Py_LIMITED_API)
static_assert(Py_LIMITED_API == 0x03090000, "the module is built for the 3.9 stable ABI");
#endif
