#include "module/python.hpp"

#include "module/boundary.hpp"

#include <atomic>
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

// The InternalFailure class, made on first use by whichever thread fails
// first and published once; it lives until the process ends.
std::atomic<PyObject *> internal_failure_class{nullptr};

// The class, or empty with its creation's exception set. One that a
// sub-interpreter makes is its own, for this one failure.
ObjectRef internal_failure() noexcept {
  PyObject *known = internal_failure_class.load(std::memory_order_acquire);
  if (known != nullptr) return ObjectRef::add_reference(known);
  ObjectRef made = ObjectRef::steal(PyErr_NewExceptionWithDoc(
      "manilink.InternalFailure", kInternalFailureDoc, PyExc_BaseException, nullptr));
  if (!made || !in_main_interpreter()) return made;
  return ObjectRef::add_reference(publish_once(internal_failure_class, made.release()));
}

// Replaces any pending exception with InternalFailure(text).
void raise_internal_failure(const char *text) noexcept {
  PyErr_Clear();
  const ObjectRef cls = internal_failure();
  if (!cls) return;  // its own exception is set
  if (text == nullptr || *text == '\0') text = kUnknownFailure;
  ObjectRef message = ObjectRef::steal(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (message) PyErr_SetObject(cls.get(), message.get());
}

// The message of a LinkError: its summary, then its detail.
Outcome<ObjectRef> link_error_message(const LinkError &error) noexcept {
  MANILINK_TRY(summary, str_from_text(error.summary()));
  if (error.detail.empty()) return std::move(summary);
  MANILINK_TRY(detail, str_from_text(error.detail));
  return created(PyUnicode_Concat(summary.get(), detail.get()));
}

}  // namespace

void raise_failure(const Failure &failure) noexcept {
  switch (failure.kind) {
    case Failure::Kind::Raised:
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
      return;
    case Failure::Kind::NotCreated: {
      // Printed as it is, not through sys.excepthook: a hook that raises
      // SystemExit would end the process in the middle of the call.
      const FetchedError error = FetchedError::take();
      if (error.type) PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
      raise_internal_failure("Python API call failed");
      return;
    }
    case Failure::Kind::Link: {
      Outcome<ObjectRef> message = link_error_message(failure.link_error);
      if (message.failed()) return raise_failure(message.failure());
      PyErr_SetObject(PyExc_ValueError, message.value().get());
      return;
    }
    case Failure::Kind::NoMemory:
      PyErr_NoMemory();
      return;
    case Failure::Kind::Internal:
      raise_internal_failure(failure.text);
      return;
  }
}

}  // namespace manilink
