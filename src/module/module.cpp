// Start-up: the module definition, the function records and the module body.
#include "module/python.hpp"

#include <atomic>

#include "module/boundary.hpp"
#include "module/functions.hpp"

namespace manilink {

namespace {

constexpr const char kFormatDoc[] =
    "format(uri)\n"
    "--\n"
    "\n"
    "Build a `Link` header value advertising `uri` as the C2PA Manifest Store.\n"
    "\n"
    "The target is percent-encoded, so any input yields a safe header: a CR/LF\n"
    "becomes `%0D%0A` and can no longer start a header of its own. Only an empty\n"
    "target raises.";

constexpr const char kFormatStrictDoc[] =
    "format_strict(uri)\n"
    "--\n"
    "\n"
    "As `format`, but raises rather than repairing a target that is not already a\n"
    "valid URI reference.\n"
    "\n"
    "Use this when the target comes from configuration, where a silent `%20`\n"
    "would hide a typo until it surfaced as a 404.";

constexpr const char kEncodeTargetDoc[] =
    "encode_target(uri)\n"
    "--\n"
    "\n"
    "Percent-encode the bytes that cannot appear literally in a URI reference.\n"
    "\n"
    "Idempotent: `%` is left alone, so an already-encoded URI is not\n"
    "double-encoded.";

constexpr const char kExtractDoc[] =
    "extract(values)\n"
    "--\n"
    "\n"
    "The single `c2pa-manifest` link across the given `Link` header values, or\n"
    "`None` when none is advertised.\n"
    "\n"
    "Accepts a list of header values, since a response may carry several `Link`\n"
    "fields and each may hold several comma-separated links. Returns a dict with\n"
    "`uri`, `jumbf`, and `is_embedded`.\n"
    "\n"
    "Raises `ValueError` when genuinely competing targets are advertised: the\n"
    "specification defines no precedence between them, so choosing one would\n"
    "invent a rule.";

constexpr const char kLocateAllDoc[] =
    "locate_all(values)\n"
    "--\n"
    "\n"
    "Every `c2pa-manifest` link across the given `Link` header values, in order.";

template <PyCFunctionWithKeywords entry>
constexpr PyMethodDef function_record(const char *name, const char *doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

// In the order in which they are added to the module. The function objects
// refer to their records for the rest of the process.
PyMethodDef function_records[] = {
    function_record<function_entry<format_body>>("format", kFormatDoc),
    function_record<function_entry<format_strict_body>>("format_strict", kFormatStrictDoc),
    function_record<function_entry<encode_target_body>>("encode_target", kEncodeTargetDoc),
    function_record<function_entry<extract_body>>("extract", kExtractDoc),
    function_record<function_entry<locate_all_body>>("locate_all", kLocateAllDoc),
};

// An empty docstring (not None), no per-module state, no methods (the module
// body adds the functions), no slots (single-phase initialization).
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "manilink", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module of the process's one initialization: empty until it succeeds,
// then a strong reference kept until the process ends.
std::atomic<PyObject *> module_cell{nullptr};

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute `name` to `value`.
Status add_name(PyObject *module, PyObject *name, PyObject *value) {
  ObjectRef all = ObjectRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Failure::raised();
    PyErr_Clear();
    MANILINK_TRY(made, created(PyList_New(0)));
    MANILINK_CHECK(status(PyObject_SetAttrString(module, "__all__", made.get())));
    all = std::move(made);
  }
  if (PyList_Append(all.get(), name) < 0) {
    return Failure::internal("could not append __name__ to __all__");
  }
  return status(PyObject_SetAttr(module, name, value));
}

Status add_function(PyObject *module, PyMethodDef *record) {
  MANILINK_TRY(module_name, returned(PyModule_GetNameObject(module)));
  MANILINK_TRY(function, created(PyCMethod_New(record, module, module_name.get(), nullptr)));
  MANILINK_TRY(name, returned(PyObject_GetAttrString(function.get(), "__name__")));
  return add_name(module, name.get(), function.get());
}

Status add_constant(PyObject *module, const char *name, const char *value) {
  MANILINK_TRY(name_object, created(PyUnicode_FromString(name)));
  MANILINK_TRY(value_object, created(PyUnicode_FromString(value)));
  return add_name(module, name_object.get(), value_object.get());
}

Status fill_module(PyObject *module) {
  for (PyMethodDef &record : function_records) MANILINK_CHECK(add_function(module, &record));
  MANILINK_CHECK(add_constant(module, "REL", "c2pa-manifest"));
  return add_constant(module, "__version__", MANILINK_VERSION);
}

// Whether Python code asked for this initialization: every import does, but
// CPython 3.13+ importing into a sub-interpreter first runs it in the main
// interpreter on a fresh thread state with no frame, and discards that module.
Outcome<bool> called_from_python() {
  if (PyEval_GetFrame() != nullptr) return true;
  if (PyErr_Occurred() != nullptr) return Failure::raised();  // the frame object was not made
  return false;
}

// The rule of one initialization per process:
//   module cell | called from Python | decision
//   filled      | either             | refuse with ImportError
//   empty       | yes                | make the module and keep it in the cell
//   empty       | no                 | make the module, leave the cell empty
// The last row lets a sub-interpreter import first (as mod_wsgi does); the
// module it gets is the one made by its own import, which the second row keeps.
Outcome<ObjectRef> initialize() {
  if (module_cell.load(std::memory_order_acquire) != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "manilink may be initialized only once per interpreter process");
    return Failure::raised();
  }
  MANILINK_TRY(counts, called_from_python());
  MANILINK_TRY(module, returned(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION)));
#ifdef Py_GIL_DISABLED
  MANILINK_CHECK(status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED)));
#endif
  MANILINK_CHECK(fill_module(module.get()));
  if (!counts) return std::move(module);
  // The module body may run Python code (finalizers), which may have
  // initialized the module meanwhile: the module in the cell is then the one.
  return ObjectRef::add_reference(publish_once(module_cell, module.release()));
}

}  // namespace

}  // namespace manilink

PyMODINIT_FUNC PyInit_manilink(void) { return manilink::at_boundary(manilink::initialize); }
