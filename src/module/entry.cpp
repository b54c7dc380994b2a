#include "module/entry.hpp"

#include <cstdlib>
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

#ifdef MANILINK_FAULT_INJECTION
namespace fault_injection {

namespace {
enum class Mode { None, Create, Throw, ThrowOpaque, BadAlloc, LoseError };
Mode mode = Mode::None;
long failing_creation = 0;  // 1-based, within one call
long creations = 0;         // made so far in the current call
}  // namespace

void begin_call() {
  mode = Mode::None;
  creations = 0;
  const char *setting = std::getenv("MANILINK_FAULT");
  if (setting == nullptr) return;
  if (std::strncmp(setting, "create:", 7) == 0) {
    mode = Mode::Create;
    failing_creation = std::strtol(setting + 7, nullptr, 10);
  } else if (std::strcmp(setting, "throw") == 0) {
    throw InternalError("injected failure");
  } else if (std::strcmp(setting, "throw-opaque") == 0) {
    throw 1;
  } else if (std::strcmp(setting, "bad-alloc") == 0) {
    throw std::bad_alloc();
  } else if (std::strcmp(setting, "lose-error") == 0) {
    mode = Mode::LoseError;
  }
}

bool fail_creation() noexcept { return mode == Mode::Create && ++creations == failing_creation; }

bool lose_outcome() noexcept { return mode == Mode::LoseError; }

}  // namespace fault_injection
#endif

ObjectRef created(PyObject *object) {
#ifdef MANILINK_FAULT_INJECTION
  if (object != nullptr && fault_injection::fail_creation()) {
    Py_DECREF(object);
    object = PyErr_NoMemory();  // always null
  }
#endif
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
