// The one way into the CPython headers: every glue file includes this first.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#include <Python.h>

static_assert(Py_LIMITED_API == 0x03090000, "the module is built for the 3.9 stable ABI");
