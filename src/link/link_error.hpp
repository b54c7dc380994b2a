// The error value of the link logic, and the one result type that carries a
// value or that error from the logic through its edge to the glue.
#pragma once

#include <string_view>
#include <type_traits>

namespace manilink {

// What the logic reports in place of a value. The first three kinds are the
// link errors of the rules, each with its fixed message. The last two are
// failures of the machine rather than of the input; the logic reports them as
// values too, so that nothing it throws reaches the glue.
struct LinkError {
  enum class Kind : unsigned char { NotFound, Conflict, Malformed, OutOfMemory, Internal };

  Kind kind;
  // For Malformed, one of the fixed detail texts; for Internal, what broke,
  // or empty. Texts that live for the whole process: a LinkError owns nothing.
  std::string_view detail;

  static constexpr LinkError not_found() noexcept { return {Kind::NotFound, {}}; }
  static constexpr LinkError conflict() noexcept { return {Kind::Conflict, {}}; }
  static constexpr LinkError malformed(std::string_view detail) noexcept {
    return {Kind::Malformed, detail};
  }
  static constexpr LinkError out_of_memory() noexcept { return {Kind::OutOfMemory, {}}; }
  static constexpr LinkError internal(std::string_view what) noexcept {
    return {Kind::Internal, what};
  }

  // The message of a link error; for Malformed, the fixed text that `detail`
  // follows. It lives for the whole process, so making it allocates nothing.
  constexpr std::string_view summary() const noexcept {
    switch (kind) {
      case Kind::NotFound:
        return "no c2pa-manifest Link header found";
      case Kind::Conflict:
        return "more than one c2pa-manifest target was advertised";
      default:
        return "malformed Link header: ";
    }
  }
};

// A value or a LinkError. Trivially copyable, as its value must be: it crosses
// between code built with exceptions and code built without them as plain
// bytes, with no code of its own to be built twice.
template <class T>
class [[nodiscard]] Result {
  static_assert(std::is_trivially_copyable_v<T>, "a Result holds plain data");

 public:
  constexpr Result(T value) noexcept : value_(value), failed_(false) {}
  constexpr Result(LinkError error) noexcept : error_(error), failed_(true) {}

  constexpr bool failed() const noexcept { return failed_; }
  // The value; only when the result did not fail.
  constexpr const T &value() const noexcept { return value_; }
  // The error; only when the result failed.
  constexpr LinkError failure() const noexcept { return error_; }

 private:
  union {
    T value_;
    LinkError error_;
  };
  bool failed_;
};

}  // namespace manilink
