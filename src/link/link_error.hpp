// The error value of the link logic, and the result type that carries it.
#pragma once

#include <string_view>
#include <utility>
#include <variant>

namespace manilink {

struct LinkError {
  enum class Kind { NotFound, Conflict, Malformed };

  Kind kind;
  // For Malformed only: one of the fixed detail texts, which live for the
  // whole process, so a LinkError owns nothing.
  std::string_view detail;

  static constexpr LinkError not_found() { return {Kind::NotFound, {}}; }
  static constexpr LinkError conflict() { return {Kind::Conflict, {}}; }
  static constexpr LinkError malformed(std::string_view detail) {
    return {Kind::Malformed, detail};
  }

  // The kind's message; for Malformed, the fixed text that `detail` follows.
  // Both live for the whole process, so making the message allocates nothing.
  std::string_view summary() const noexcept {
    switch (kind) {
      case Kind::NotFound:
        return "no c2pa-manifest Link header found";
      case Kind::Conflict:
        return "more than one c2pa-manifest target was advertised";
      case Kind::Malformed:
        break;
    }
    return "malformed Link header: ";
  }
};

// Either a value or a LinkError.
template <class T>
class Result {
 public:
  Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  Result(LinkError error) : outcome_(std::in_place_index<1>, error) {}

  bool ok() const { return outcome_.index() == 0; }
  T &value() { return std::get<0>(outcome_); }
  const LinkError &error() const { return std::get<1>(outcome_); }

 private:
  std::variant<T, LinkError> outcome_;
};

}  // namespace manilink
