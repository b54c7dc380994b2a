// Binding of call arguments and their conversion to UTF-8 text.
#pragma once

#include "module/python.hpp"

#include <string_view>

#include "link/edge.hpp"
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

// Binds the call's argument and converts it to its UTF-8 text. A conversion
// TypeError (exactly TypeError) is re-labelled "argument 'uri': <message>".
Outcome<Utf8Text> text_argument(const FunctionSignature &signature, PyObject *args,
                                PyObject *kwargs);

// Binds the call's argument and converts it to owned copies of the UTF-8
// texts of its items, in iteration order; errors as for text_argument.
Outcome<edge::TextList> text_list_argument(const FunctionSignature &signature, PyObject *args,
                                           PyObject *kwargs);

}  // namespace manilink
