#include "module/python.hpp"

#include "module/functions.hpp"

#include <vector>

#include "link/header_format.hpp"
#include "link/header_parser.hpp"
#include "link/link_selection.hpp"
#include "link/target_encoding.hpp"
#include "link/text_builder.hpp"
#include "module/arguments.hpp"
#include "module/entry.hpp"

namespace manilink {

namespace {

constexpr FunctionSignature kFormatSignature{"format", "uri"};
constexpr FunctionSignature kFormatStrictSignature{"format_strict", "uri"};
constexpr FunctionSignature kEncodeTargetSignature{"encode_target", "uri"};
constexpr FunctionSignature kExtractSignature{"extract", "values"};
constexpr FunctionSignature kLocateAllSignature{"locate_all", "values"};

// Raises the ValueError of a LinkError.
void link_error_to_exception(const LinkError &error) {
  ObjectRef message = str_from_text(error.message());
  PyErr_SetObject(PyExc_ValueError, message.get());
}

// Stores one item under a fresh key object; takes over `value`.
bool set_item(const ObjectRef &dict, std::string_view key, ObjectRef value) {
  ObjectRef key_object = str_from_text(key);
  return PyDict_SetItem(dict.get(), key_object.get(), value.get()) == 0;
}

// {"uri": ..., "jumbf": ... or None, "is_embedded": ...}, keys in this order,
// every key and value a new object.
ObjectRef link_to_dict(const ManifestLink &link) {
  // Objects that the garbage collector tracks are made under a watch: on 3.9
  // to 3.11 making one may run a collection, and with it finalizers.
  ObjectRef dict = created(call_python(PyDict_New));
  if (!set_item(dict, "uri", str_from_text(link.uri)) ||
      !set_item(dict, "jumbf",
                link.jumbf ? str_from_text(*link.jumbf) : ObjectRef::borrow(Py_None)) ||
      !set_item(dict, "is_embedded", ObjectRef::borrow(link.is_embedded() ? Py_True : Py_False))) {
    return {};
  }
  return dict;
}

// A text result up to this size is built on the stack: the argument's own
// copy is then the call's only allocation besides the interpreter's.
constexpr std::size_t kStackTextSize = 2048;

// The body of a function that turns one text into one text or a LinkError.
template <const FunctionSignature &signature,
          Result<std::string_view> (*logic)(std::string_view, TextBuilder &)>
ObjectRef text_function_body(PyObject *args, PyObject *kwargs) {
  std::optional<std::string> target = text_argument(signature, args, kwargs);
  if (!target) return {};
  char storage[kStackTextSize];
  TextBuilder text(storage, sizeof storage);
  Result<std::string_view> value = logic(*target, text);
  if (!value.ok()) {
    link_error_to_exception(value.error());
    return {};
  }
  return str_from_text(value.value());
}

// Encoding as a text function: it never fails, so its text is always the result.
Result<std::string_view> encode_target_text(std::string_view target, TextBuilder &out) {
  return encode_target(target, out);
}

}  // namespace

ObjectRef format_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kFormatSignature, format_link_value>(args, kwargs);
}

ObjectRef format_strict_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kFormatStrictSignature, format_link_value_strict>(args, kwargs);
}

ObjectRef encode_target_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kEncodeTargetSignature, encode_target_text>(args, kwargs);
}

ObjectRef extract_body(PyObject *args, PyObject *kwargs) {
  std::optional<std::vector<std::string>> values =
      text_list_argument(kExtractSignature, args, kwargs);
  if (!values) return {};
  Result<ManifestLink> selected = select_manifest_link(*values);
  if (selected.ok()) return link_to_dict(selected.value());
  // No advertised manifest is an answer, not a failure.
  if (selected.error().kind == LinkError::Kind::NotFound) return ObjectRef::borrow(Py_None);
  link_error_to_exception(selected.error());
  return {};
}

ObjectRef locate_all_body(PyObject *args, PyObject *kwargs) {
  std::optional<std::vector<std::string>> values =
      text_list_argument(kLocateAllSignature, args, kwargs);
  if (!values) return {};
  const std::vector<ManifestLink> links = parse_manifest_links(*values);
  std::vector<ObjectRef> dicts;
  dicts.reserve(links.size());
  for (const ManifestLink &link : links) {
    ObjectRef dict = link_to_dict(link);
    if (!dict) return {};
    dicts.push_back(std::move(dict));
  }
  // Created at its final length and filled by position.
  ObjectRef list = created(call_python(PyList_New, static_cast<Py_ssize_t>(dicts.size())));
  for (std::size_t i = 0; i < dicts.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dicts[i].release()) < 0) {
      return {};  // PyList_SetItem has released the item
    }
  }
  return list;
}

}  // namespace manilink
