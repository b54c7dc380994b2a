// Binding of call arguments and their conversion to UTF-8 text, read in place.
#pragma once

#include "module/python.hpp"

#include <cstddef>
#include <string_view>

#include "link/header_values.hpp"
#include "module/failure.hpp"

namespace manilink {

// Every function of the module takes one required parameter, by position
// or by keyword, and nothing else.
struct FunctionSignature {
  const char *name;       // the function's Python name
  const char *parameter;  // its one positional-or-keyword parameter
};

// The UTF-8 form of a str: a bytes object of the call's own, and its bytes.
struct Utf8Text {
  ObjectRef bytes;
  std::string_view text;
};

// The UTF-8 forms of a sequence's items, in iteration order: each item's
// bytes object, held until the call ends, and a view of its bytes, in memory
// that no Python code can reach, so nothing frees a text while it is read.
class Utf8Values {
 public:
  ~Utf8Values() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(bytes_.data()[i]);
  }

  // false, with MemoryError set, when there is no room.
  bool reserve(std::size_t count) noexcept {
    if (count > capacity_ && (!bytes_.resize(count) || !views_.resize(count))) return false;
    capacity_ = count > capacity_ ? count : capacity_;
    return true;
  }
  bool append(Utf8Text text) noexcept {
    if (size_ == capacity_ && !reserve(size_ < 4 ? 4 : 2 * size_)) return false;
    bytes_.data()[size_] = text.bytes.release();
    views_.data()[size_++] = text.text;
    return true;
  }

  HeaderValues values() const noexcept { return {views_.data(), size_}; }

 private:
  MemoryArray<PyObject *> bytes_;
  MemoryArray<std::string_view> views_;
  std::size_t size_ = 0, capacity_ = 0;
};

// Binds the call's argument and converts it to its UTF-8 text. A conversion
// TypeError (exactly TypeError) is re-labelled "argument 'uri': <message>".
Outcome<Utf8Text> text_argument(const FunctionSignature &signature, PyObject *args,
                                PyObject *kwargs);

// Binds the call's argument and converts each item of it to its UTF-8 text,
// into `texts`; errors as for text_argument.
Status text_list_argument(const FunctionSignature &signature, PyObject *args, PyObject *kwargs,
                          Utf8Values &texts);

}  // namespace manilink
