#include "module/python.hpp"

#include "module/boundary.hpp"

#include <atomic>

namespace manilink {

namespace {

constexpr const char kInternalFailureDoc[] =
    "A failure of manilink's native code, not of the arguments it was given.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it propagates up the stack instead of being swallowed by an except\n"
    "clause that names Exception.";

// The main interpreter's InternalFailure class, made on first use and kept
// until the process ends.
std::atomic<PyObject *> internal_failure_class{nullptr};

// The InternalFailure class, or empty with its creation's exception set. A
// sub-interpreter never touches the main interpreter's class (it dies with
// the interpreter, and under its own GIL even a reference count there is a
// race): it makes one of its own for each failure.
ObjectRef internal_failure() noexcept {
  const bool main = PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
  PyObject *known = main ? internal_failure_class.load(std::memory_order_acquire) : nullptr;
  if (known != nullptr) return ObjectRef::add_reference(known);
  ObjectRef made = ObjectRef::steal(PyErr_NewExceptionWithDoc(
      "manilink.InternalFailure", kInternalFailureDoc, PyExc_BaseException, nullptr));
  // Kept with a reference of its own, unless another thread kept one first.
  if (made && main && internal_failure_class.compare_exchange_strong(known, made.get())) {
    Py_INCREF(made.get());
  }
  return made;
}

// Replaces any pending exception with InternalFailure(text).
void raise_internal_failure(std::string_view text) noexcept {
  PyErr_Clear();
  const ObjectRef cls = internal_failure();
  if (!cls) return;  // its own exception is set
  if (text.empty()) text = "unknown internal failure";
  const ObjectRef message = ObjectRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(cls.get(), message.get());
}

// Prints the exception of a failed object creation, not through sys.excepthook
// (which may raise SystemExit in the middle of the call), and not while this
// thread prints one already: sys.stderr may call the module and fail alike.
void print_creation_failure() noexcept {
  static thread_local bool printing = false;
  const FetchedError error = FetchedError::take();
  if (printing || !error.type) return;
  printing = true;
  PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
  printing = false;
}

// The message of a link error: its summary, then its detail.
Outcome<ObjectRef> link_error_message(const LinkError &error) noexcept {
  MANILINK_TRY(summary, str_from_text(error.summary()));
  if (error.detail.empty()) return std::move(summary);
  MANILINK_TRY(detail, str_from_text(error.detail));
  return created(PyUnicode_Concat(summary.get(), detail.get()));
}

// The exception of a LinkError: ValueError for the link errors, MemoryError
// and InternalFailure for the logic's own failures.
void link_error_to_exception(const LinkError &error) noexcept {
  if (error.kind == LinkError::Kind::OutOfMemory) {
    PyErr_NoMemory();
    return;
  }
  if (error.kind == LinkError::Kind::Internal) return raise_internal_failure(error.detail);
  Outcome<ObjectRef> message = link_error_message(error);
  if (message.failed()) return raise_failure(message.failure());
  PyErr_SetObject(PyExc_ValueError, message.value().get());
}

}  // namespace

void raise_failure(const Failure &failure) noexcept {
  switch (failure.kind) {
    case Failure::Kind::Logic:
      return link_error_to_exception(failure.error);
    case Failure::Kind::Raised:
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
      return;
    case Failure::Kind::NotCreated:
      print_creation_failure();
      return raise_internal_failure("Python API call failed");
  }
}

}  // namespace manilink
