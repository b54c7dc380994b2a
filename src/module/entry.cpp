#include "module/python.hpp"

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

namespace thread_exit {
std::atomic<bool> any_thread_lost{false};
thread_local bool this_thread_lost = false;
}  // namespace thread_exit

void mark_interpreter_lost() noexcept {
  thread_exit::this_thread_lost = true;
  thread_exit::any_thread_lost.store(true, std::memory_order_relaxed);
}

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
    call_python(PyErr_Print);  // sys.excepthook may be Python code
    throw InternalError("Python API call failed");
  }
  return ObjectRef::steal(object);
}

void raise_internal_failure(const char *text) {
  call_python(PyErr_Clear);  // the exception dropped may have a finalizer
  if (internal_failure_class == nullptr) {
    internal_failure_class =
        call_python(PyErr_NewExceptionWithDoc, "manilink.InternalFailure", kInternalFailureDoc,
                    PyExc_BaseException, static_cast<PyObject *>(nullptr));
    if (internal_failure_class == nullptr) return;  // its own exception is set
  }
  if (text == nullptr || *text == '\0') text = kUnknownFailure;
  ObjectRef message = ObjectRef::steal(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!message) return;
  PyErr_SetObject(internal_failure_class, message.get());
}

void ensure_exception_set() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

}  // namespace manilink
