// The link logic as the interpreter glue calls it.
//
// The glue is built without exceptions, so that a thread which the
// interpreter ends inside a call unwinds through it untouched. It must
// therefore call nothing that throws: every operation here is noexcept and
// turns what the logic may throw (running out of memory, above all) into a
// value. The glue reaches the logic through this header alone; the build
// checks that its objects call no other function of the logic and nothing
// that throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/link_error.hpp"
#include "link/manifest_link.hpp"
#include "link/text_builder.hpp"

namespace manilink::edge {

// A failure of the machine rather than of the input.
enum class NativeFailure : unsigned char {
  OutOfMemory,  // an allocation failed
  Unexpected,   // anything else the logic threw: a broken invariant
};

// A value, the LinkError of the rules, or a NativeFailure. Plain fields, no
// union: g++ 12.2 at -O2 read a string_view alternative of a std::variant
// returned across this edge from the wrong offset.
template <class T>
class Checked {
 public:
  Checked(T value) noexcept : value_(std::move(value)) {}
  Checked(LinkError error) noexcept : state_(State::Link), link_error_(error) {}
  Checked(NativeFailure failure) noexcept : state_(State::Native), native_failure_(failure) {}

  bool ok() const noexcept { return state_ == State::Value; }
  T &value() noexcept { return value_; }
  // The LinkError, or null when there is none.
  const LinkError *link_error() const noexcept {
    return state_ == State::Link ? &link_error_ : nullptr;
  }
  // Meaningful only when the outcome is neither a value nor a LinkError.
  NativeFailure native_failure() const noexcept { return native_failure_; }

 private:
  enum class State : unsigned char { Value, Link, Native };

  T value_{};
  State state_ = State::Value;
  LinkError link_error_ = LinkError::not_found();
  NativeFailure native_failure_ = NativeFailure::Unexpected;
};

// Owned copies of the header values of one call, filled one at a time.
class TextList {
 public:
  // Both return false when memory ran out; the list is then as it was.
  bool reserve(std::size_t count) noexcept;
  bool append(std::string_view text) noexcept;

  const std::vector<std::string> &texts() const noexcept { return texts_; }

 private:
  std::vector<std::string> texts_;
};

// "<" encoded target ">; rel=\"c2pa-manifest\"" in `out`; Malformed when
// the target is empty.
Checked<std::string_view> format_link_value(std::string_view target, TextBuilder &out) noexcept;

// The same with the target unchanged; Malformed when it is empty or needs
// encoding.
Checked<std::string_view> format_link_value_strict(std::string_view target,
                                                   TextBuilder &out) noexcept;

// The percent-encoded target: `target` itself when it needs no escape, else
// a view of `out`.
Checked<std::string_view> encode_target(std::string_view target, TextBuilder &out) noexcept;

// Every manifest link of the values, in order.
Checked<std::vector<ManifestLink>> parse_manifest_links(const TextList &values) noexcept;

// The one advertised manifest link; NotFound or Conflict otherwise.
Checked<ManifestLink> select_manifest_link(const TextList &values) noexcept;

}  // namespace manilink::edge
