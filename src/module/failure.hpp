// The one way a step of a call fails: it returns a Failure, which the
// enclosing step passes up unchanged (MANILINK_TRY) until the boundary raises
// it. Nothing in the glue throws.
#pragma once

#include "module/python.hpp"

#include <string_view>
#include <utility>

#include "link/link_error.hpp"
#include "module/fault_seam.hpp"
#include "module/object_ref.hpp"

namespace manilink {

// A LinkError of the logic, as it reported it, or a state only the glue knows.
struct Failure {
  enum class Kind : unsigned char {
    Logic,       // `error`: raised by link_error_to_exception
    Raised,      // the interpreter's exception is pending: passed on as it is
    NotCreated,  // an object creation returned nothing: printed, then InternalFailure
  };

  Failure(LinkError link_error) noexcept : kind(Kind::Logic), error(link_error) {}
  explicit Failure(Kind glue_state) noexcept : kind(glue_state) {}
  static Failure raised() noexcept { return Failure(Kind::Raised); }

  Kind kind;
  union {
    LinkError error;  // for Kind::Logic only
  };
};

// The value of a step, or its Failure.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T &&value) noexcept : value_(std::move(value)), failed_(false) {}
  Outcome(Failure failure) noexcept : failure_(failure), failed_(true) {}
  Outcome(LinkError error) noexcept : Outcome(Failure(error)) {}

  bool failed() const noexcept { return failed_; }
  T &value() noexcept { return value_; }
  Failure failure() const noexcept { return failure_; }

 private:
  T value_{};
  union {
    Failure failure_;
  };
  bool failed_;
};

struct Done {};  // the value of a step that yields nothing
using Status = Outcome<Done>;

// Declares `name` as the value of `expression` (an Outcome or a Result of the
// logic), or returns its failure from the enclosing function.
#define MANILINK_TRY(name, expression)                            \
  auto name##_outcome_ = (expression);                            \
  if (name##_outcome_.failed()) return name##_outcome_.failure(); \
  auto &name = name##_outcome_.value()

// Returns the failure of `expression` (an Outcome) from the enclosing function.
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
  return result < 0 ? Status(Failure::raised()) : Status(Done{});
}

// The new reference returned by an object-creating call; none is a failed
// creation.
inline Outcome<ObjectRef> created(PyObject *new_reference) noexcept {
  if (new_reference != nullptr && fault_seam::fail_creation()) {
    Py_DECREF(new_reference);
    new_reference = PyErr_NoMemory();  // always null
  }
  if (new_reference == nullptr) return Failure(Failure::Kind::NotCreated);
  return ObjectRef::steal(new_reference);
}

// A new str holding the UTF-8 `text`.
inline Outcome<ObjectRef> str_from_text(std::string_view text) noexcept {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace manilink
