#include "module/python.hpp"

#include "module/functions.hpp"

#include <cstddef>
#include <string_view>

#include "link/edge.hpp"
#include "link/portable.hpp"
#include "module/arguments.hpp"

namespace manilink {

namespace {

constexpr FunctionSignature kFormatSignature{"format", "uri"};
constexpr FunctionSignature kFormatStrictSignature{"format_strict", "uri"};
constexpr FunctionSignature kEncodeTargetSignature{"encode_target", "uri"};
constexpr FunctionSignature kExtractSignature{"extract", "values"};
constexpr FunctionSignature kLocateAllSignature{"locate_all", "values"};

// The failure of an operation of the logic.
template <class T>
Failure logic_failure(const edge::Checked<T> &checked) {
  if (const LinkError *error = checked.link_error()) return Failure::link(*error);
  if (checked.native_failure() == edge::NativeFailure::OutOfMemory) return Failure::no_memory();
  return Failure::internal(nullptr);
}

// Stores `value` in `dict` under a fresh key object.
Status set_item(PyObject *dict, std::string_view key, Outcome<ObjectRef> value) {
  if (value.failed()) return value.failure();
  MANILINK_TRY(key_object, str_from_text(key));
  return status(PyDict_SetItem(dict, key_object.get(), value.value().get()));
}

// {"uri": ..., "jumbf": ... or None, "is_embedded": ...}, keys in this order,
// every key and value a new object.
Outcome<ObjectRef> link_to_dict(const ManifestLink &link) {
  MANILINK_TRY(dict, created(PyDict_New()));
  MANILINK_CHECK(set_item(dict.get(), "uri", str_from_text(link.uri)));
  MANILINK_CHECK(set_item(dict.get(), "jumbf",
                          link.jumbf ? str_from_text(*link.jumbf)
                                     : Outcome<ObjectRef>(ObjectRef::add_reference(Py_None))));
  MANILINK_CHECK(set_item(dict.get(), "is_embedded",
                          ObjectRef::add_reference(link.is_embedded() ? Py_True : Py_False)));
  return std::move(dict);
}

// An operation of the logic that turns one text into one text.
using TextLogic = edge::Checked<std::string_view> (*)(std::string_view, TextBuilder &) noexcept;

// A text result up to this size is built on the stack: the call then needs
// no allocation besides the interpreter's.
constexpr std::size_t kStackTextSize = 2048;

// Runs `logic` on `target` and makes its text a str. The stack buffer lives
// in this frame of its own, which runs no Python code (making a str does
// not), so re-entry through user code never piles such buffers up.
template <TextLogic logic>
MANILINK_NOINLINE Outcome<ObjectRef> text_result(std::string_view target) {
  char storage[kStackTextSize];
  TextBuilder text(storage, sizeof storage);
  edge::Checked<std::string_view> value = logic(target, text);
  if (!value.ok()) return logic_failure(value);
  return str_from_text(value.value());
}

template <const FunctionSignature &signature, TextLogic logic>
Outcome<ObjectRef> text_function_body(PyObject *args, PyObject *kwargs) {
  MANILINK_TRY(target, text_argument(signature, args, kwargs));
  return text_result<logic>(target.text);
}

}  // namespace

Outcome<ObjectRef> format_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kFormatSignature, edge::format_link_value>(args, kwargs);
}

Outcome<ObjectRef> format_strict_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kFormatStrictSignature, edge::format_link_value_strict>(args, kwargs);
}

Outcome<ObjectRef> encode_target_body(PyObject *args, PyObject *kwargs) {
  return text_function_body<kEncodeTargetSignature, edge::encode_target>(args, kwargs);
}

Outcome<ObjectRef> extract_body(PyObject *args, PyObject *kwargs) {
  MANILINK_TRY(values, text_list_argument(kExtractSignature, args, kwargs));
  edge::Checked<ManifestLink> selected = edge::select_manifest_link(values);
  if (selected.ok()) return link_to_dict(selected.value());
  // No advertised manifest is an answer, not a failure.
  const LinkError *error = selected.link_error();
  if (error != nullptr && error->kind == LinkError::Kind::NotFound) {
    return ObjectRef::add_reference(Py_None);
  }
  return logic_failure(selected);
}

Outcome<ObjectRef> locate_all_body(PyObject *args, PyObject *kwargs) {
  MANILINK_TRY(values, text_list_argument(kLocateAllSignature, args, kwargs));
  edge::Checked<std::vector<ManifestLink>> parsed = edge::parse_manifest_links(values);
  if (!parsed.ok()) return logic_failure(parsed);
  const std::vector<ManifestLink> &links = parsed.value();
  const auto size = static_cast<Py_ssize_t>(links.size());
  // Made at its final length and filled by position. Python code may run
  // while the dicts are made (a collection's finalizers): it finds None in
  // the places still to fill, never an empty one.
  MANILINK_TRY(list, created(PyList_New(size)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Py_INCREF(Py_None);
    PyList_SetItem(list.get(), i, Py_None);  // steals the reference
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    MANILINK_TRY(dict, link_to_dict(links[static_cast<std::size_t>(i)]));
    // Steals dict and releases the None; fails only when a finalizer found
    // the list (gc.get_objects) and shrank it.
    MANILINK_CHECK(status(PyList_SetItem(list.get(), i, dict.release())));
  }
  return std::move(list);
}

}  // namespace manilink
