// The one way into the CPython headers: every glue file includes this first,
// and none is built with exceptions (a forced unwind must cross its frames
// untouched). A GIL build uses the 3.9 stable ABI; a free-threaded build
// (Py_GIL_DISABLED, from pyconfig.h) has no limited API.
#pragma once

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
