// Binding of call arguments and their conversion to and from UTF-8 text.
#pragma once

#include "module/python.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/object_ref.hpp"

namespace manilink {

// Every function of the module takes one required parameter, by position
// or by keyword, and nothing else.
struct FunctionSignature {
  const char *name;       // the function's Python name
  const char *parameter;  // its one positional-or-keyword parameter
};

// The object bound to the parameter, with a reference of its own, or empty
// with a TypeError set.
ObjectRef bind_arguments(const FunctionSignature &signature, PyObject *args, PyObject *kwargs);

// An owned copy of the UTF-8 form of a str (or str subclass) object, or
// nothing with an exception set.
std::optional<std::string> text_from_object(PyObject *object);

// The UTF-8 texts of a sequence of str objects, in iteration order, or
// nothing with an exception set.
std::optional<std::vector<std::string>> text_list_from_object(PyObject *object);

// Re-labels a pending conversion TypeError (exactly TypeError) as
// "argument '<parameter>': <message>"; any other exception stays as it is.
void argument_error(const char *parameter);

// Binds the call's argument and converts it with text_from_object.
std::optional<std::string> text_argument(const FunctionSignature &signature, PyObject *args,
                                         PyObject *kwargs);

// Binds the call's argument and converts it with text_list_from_object.
std::optional<std::vector<std::string>> text_list_argument(const FunctionSignature &signature,
                                                           PyObject *args, PyObject *kwargs);

// A new str holding `text`.
ObjectRef str_from_text(std::string_view text);

}  // namespace manilink
