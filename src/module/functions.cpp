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

// The logic's storage of one call's links, released when the call ends.
struct HeldLinks {
  edge::LinkStorage storage{nullptr};
  ~HeldLinks() { edge::release(storage); }
};

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
                          link.is_embedded()
                              ? str_from_text(link.jumbf)
                              : Outcome<ObjectRef>(ObjectRef::add_reference(Py_None))));
  MANILINK_CHECK(set_item(dict.get(), "is_embedded",
                          ObjectRef::add_reference(link.is_embedded() ? Py_True : Py_False)));
  return std::move(dict);
}

// An operation of the logic that turns one text into one text.
using TextLogic = Result<edge::WrittenText> (*)(std::string_view, edge::TextBuffer) noexcept;

constexpr std::size_t kStackTextSize = 2048;  // a text up to this size costs no allocation

// Runs `logic` on `target` and makes its text a str; a text that outgrows the
// stack buffer is written again into memory of its size. The buffer lives in
// this frame, which runs no Python code, so re-entry never piles them up.
template <TextLogic logic>
MANILINK_NOINLINE Outcome<ObjectRef> text_result(std::string_view target) {
  char storage[kStackTextSize];
  MANILINK_TRY(text, logic(target, {storage, sizeof storage}));
  if (text.needed == 0) return str_from_text(text.text);
  MemoryArray<char> memory;
  if (!memory.resize(text.needed)) return Failure::raised();
  MANILINK_TRY(again, logic(target, {memory.data(), text.needed}));
  if (again.needed != 0) return LinkError::internal("a text needed more room the second time");
  return str_from_text(again.text);
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
  Utf8Values values;
  MANILINK_CHECK(text_list_argument(kExtractSignature, args, kwargs, values));
  HeldLinks held;
  const Result<ManifestLink> selected = edge::select_manifest_link(values.values(), held.storage);
  // No advertised manifest is an answer, not a failure.
  if (selected.failed() && selected.failure().kind == LinkError::Kind::NotFound) {
    return ObjectRef::add_reference(Py_None);
  }
  MANILINK_TRY(link, selected);
  return link_to_dict(link);
}

Outcome<ObjectRef> locate_all_body(PyObject *args, PyObject *kwargs) {
  Utf8Values values;
  MANILINK_CHECK(text_list_argument(kLocateAllSignature, args, kwargs, values));
  HeldLinks held;
  MANILINK_TRY(links, edge::parse_manifest_links(values.values(), held.storage));
  const auto size = static_cast<Py_ssize_t>(links.size);
  // Made at its final length and filled by position. Python code may run
  // while the dicts are made (a collection's finalizers): it finds None in
  // the places still to fill, never an empty one.
  MANILINK_TRY(list, created(PyList_New(size)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Py_INCREF(Py_None);
    PyList_SetItem(list.get(), i, Py_None);  // steals the reference
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    MANILINK_TRY(dict, link_to_dict(links.data[i]));
    // Steals dict and releases the None; fails only when a finalizer found
    // the list (gc.get_objects) and shrank it.
    MANILINK_CHECK(status(PyList_SetItem(list.get(), i, dict.release())));
  }
  return std::move(list);
}

}  // namespace manilink
