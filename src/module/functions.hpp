// The bodies of the module's five functions.
#pragma once

#include "module/python.hpp"

#include "module/object_ref.hpp"

namespace manilink {

ObjectRef format_body(PyObject *args, PyObject *kwargs);
ObjectRef format_strict_body(PyObject *args, PyObject *kwargs);
ObjectRef encode_target_body(PyObject *args, PyObject *kwargs);
ObjectRef extract_body(PyObject *args, PyObject *kwargs);
ObjectRef locate_all_body(PyObject *args, PyObject *kwargs);

}  // namespace manilink
