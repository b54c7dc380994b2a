#include "module/entry.hpp"

#include <cstring>

namespace manilink {

namespace {

constexpr const char kInternalFailureDoc[] =
    "A failure of manilink's native code, not of the arguments it was given.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it propagates up the stack instead of being swallowed by an except\n"
    "clause that names Exception.";

constexpr const char kUnknownFailure[] = "unknown internal failure";

// The InternalFailure class, made on first use; lives until the process ends.
PyObject *internal_failure_class = nullptr;

}  // namespace

ObjectRef created(PyObject *object) {
  if (object == nullptr) {
    PyErr_Print();
    throw InternalError("Python API call failed");
  }
  return ObjectRef::steal(object);
}

void raise_internal_failure(const char *text) noexcept {
  PyErr_Clear();
  if (internal_failure_class == nullptr) {
    internal_failure_class = PyErr_NewExceptionWithDoc(
        "manilink.InternalFailure", kInternalFailureDoc, PyExc_BaseException, nullptr);
    if (internal_failure_class == nullptr) return;  // its own exception is set
  }
  if (text == nullptr || *text == '\0') text = kUnknownFailure;
  ObjectRef message = ObjectRef::steal(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!message) return;
  PyErr_SetObject(internal_failure_class, message.get());
}

void ensure_exception_set() noexcept {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

}  // namespace manilink
