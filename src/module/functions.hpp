// The bodies of the module's five functions.
#pragma once

#include "module/python.hpp"

#include "module/failure.hpp"

namespace manilink {

Outcome<ObjectRef> format_body(PyObject *args, PyObject *kwargs);
Outcome<ObjectRef> format_strict_body(PyObject *args, PyObject *kwargs);
Outcome<ObjectRef> encode_target_body(PyObject *args, PyObject *kwargs);
Outcome<ObjectRef> extract_body(PyObject *args, PyObject *kwargs);
Outcome<ObjectRef> locate_all_body(PyObject *args, PyObject *kwargs);

}  // namespace manilink
