// The one way a step of a call fails: it returns a Failure value, which the
// enclosing step passes up unchanged (MANILINK_TRY) until the boundary raises
// it. Nothing in the glue throws.
#pragma once

#include "module/python.hpp"

#include <string_view>
#include <utility>

#include "link/link_error.hpp"
#include "module/fault_injection.hpp"
#include "module/object_ref.hpp"

namespace manilink {

struct Failure {
  enum class Kind : unsigned char {
    Raised,      // the interpreter's exception is pending: passed on as it is
    NotCreated,  // an object creation returned nothing: printed, then InternalFailure
    Link,        // a LinkError: ValueError with its message
    NoMemory,    // MemoryError
    Internal,    // InternalFailure with `text`, or a generic text when null
  };

  Kind kind = Kind::Raised;
  LinkError link_error = LinkError::not_found();  // for Link
  const char *text = nullptr;                     // for Internal: a fixed text, or null

  static Failure raised() noexcept { return {}; }
  static Failure not_created() noexcept { return {Kind::NotCreated}; }
  static Failure link(LinkError error) noexcept { return {Kind::Link, error}; }
  static Failure no_memory() noexcept { return {Kind::NoMemory}; }
  static Failure internal(const char *text) noexcept {
    return {Kind::Internal, LinkError::not_found(), text};
  }
};

// The value of a step, or its Failure.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T &&value) noexcept : value_(std::move(value)) {}
  Outcome(const T &value) noexcept : value_(value) {}
  Outcome(Failure failure) noexcept : failure_(failure), failed_(true) {}

  bool failed() const noexcept { return failed_; }
  T &value() noexcept { return value_; }
  Failure failure() const noexcept { return failure_; }

 private:
  T value_{};
  Failure failure_;
  bool failed_ = false;
};

// The outcome of a step that yields nothing.
struct Done {};
using Status = Outcome<Done>;

// Declares `name` as the value of `expression` (an Outcome), or returns its
// Failure from the enclosing function.
#define MANILINK_TRY(name, expression)                            \
  auto name##_outcome_ = (expression);                            \
  if (name##_outcome_.failed()) return name##_outcome_.failure(); \
  auto &name = name##_outcome_.value()

// Returns the Failure of `expression` (an Outcome) from the enclosing function.
#define MANILINK_CHECK(expression)                    \
  do {                                                \
    auto outcome_ = (expression);                     \
    if (outcome_.failed()) return outcome_.failure(); \
  } while (false)

// The new reference returned by a call that reports failure with the
// interpreter's exception, which then passes on.
inline Outcome<ObjectRef> returned(PyObject *new_reference) noexcept {
  return new_reference ? Outcome<ObjectRef>(ObjectRef::steal(new_reference)) : Failure::raised();
}

// The status of a call that returns -1 with the interpreter's exception.
inline Status status(int result) noexcept {
  return result < 0 ? Status(Failure::raised()) : Done{};
}

// The new reference returned by an object-creating call; none is a failed
// creation.
inline Outcome<ObjectRef> created(PyObject *new_reference) noexcept {
  if (new_reference != nullptr && fault_injection::fail_creation()) {
    Py_DECREF(new_reference);
    new_reference = PyErr_NoMemory();  // always null
  }
  if (new_reference == nullptr) return Failure::not_created();
  return ObjectRef::steal(new_reference);
}

// A new str holding the UTF-8 `text`.
inline Outcome<ObjectRef> str_from_text(std::string_view text) noexcept {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace manilink
