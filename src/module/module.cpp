// Start-up: the module definition, the function records and the module body.
#include "module/python.hpp"

#include <cstdint>

#include "module/entry.hpp"
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

struct FunctionRecord {
  const char *name;
  PyCFunctionWithKeywords entry;
  int flags;
  const char *doc;
};

constexpr int kCallingFlags = METH_VARARGS | METH_KEYWORDS;

// In the order in which they are added to the module.
constexpr FunctionRecord kFunctionRecords[] = {
    {"format", function_entry<format_body>, kCallingFlags, kFormatDoc},
    {"format_strict", function_entry<format_strict_body>, kCallingFlags, kFormatStrictDoc},
    {"encode_target", function_entry<encode_target_body>, kCallingFlags, kEncodeTargetDoc},
    {"extract", function_entry<extract_body>, kCallingFlags, kExtractDoc},
    {"locate_all", function_entry<locate_all_body>, kCallingFlags, kLocateAllDoc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "manilink",  // m_name
    "",          // m_doc: present and empty
    0,           // m_size: no per-module state
    nullptr,     // m_methods: added by the module body
    nullptr,     // m_slots: single-phase initialization
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// The module object of the latest successful initialization and the
// interpreter that made it: a strong reference kept until the process ends.
struct ModuleCell {
  PyObject *module = nullptr;
  std::int64_t interpreter = -1;
};
ModuleCell module_cell;

constexpr std::int64_t kMainInterpreter = 0;

// Interned attribute names, made once and kept until the process ends.
PyObject *interned(PyObject *&cell, const char *text) {
  if (cell == nullptr) cell = created(PyUnicode_InternFromString(text)).release();
  return cell;
}
PyObject *all_name_cell = nullptr;
PyObject *name_name_cell = nullptr;

// Whether an import took the module in the cell. The import system sets
// __spec__ on every module it imports, right after the initialization
// returns; a module without one was left by an import that failed after the
// module body ran, or was made in the main interpreter on behalf of a
// sub-interpreter (CPython 3.13 and later do that, then initialize the module
// again in the sub-interpreter). Such a module does not count as the
// process's one initialization.
bool cell_module_was_imported(std::int64_t interpreter) {
  // The module of another sub-interpreter is not looked at: that interpreter
  // may be gone, or run under a lock of its own.
  if (module_cell.interpreter != interpreter && module_cell.interpreter != kMainInterpreter) {
    return true;
  }
  PyObject *spec = PyDict_GetItemString(PyModule_GetDict(module_cell.module), "__spec__");
  return spec != nullptr && spec != Py_None;  // both borrowed
}

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute `name` to `value`.
bool add_name(PyObject *module, PyObject *name, PyObject *value) {
  PyObject *all_name = interned(all_name_cell, "__all__");
  ObjectRef all = ObjectRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PendingError error = PendingError::fetch();
    if (!PyErr_GivenExceptionMatches(error.type.get(), PyExc_AttributeError)) {
      error.restore();
      return false;
    }
    all = created(call_python(PyList_New, Py_ssize_t{0}));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    throw InternalError("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject *module, const FunctionRecord &record) {
  ObjectRef module_name = ObjectRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  // The function object refers to its definition for the rest of the
  // process, so the copy is never freed.
  auto *definition = new PyMethodDef{
      record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
      record.flags, record.doc};
  ObjectRef function = ObjectRef::steal(call_python(
      PyCMethod_New, definition, module, module_name.get(), static_cast<PyTypeObject *>(nullptr)));
  if (!function) return false;
  ObjectRef name =
      ObjectRef::steal(PyObject_GetAttr(function.get(), interned(name_name_cell, "__name__")));
  if (!name) return false;
  return add_name(module, name.get(), function.get());
}

bool add_constant(PyObject *module, const char *name, const char *value) {
  ObjectRef name_object = created(PyUnicode_FromString(name));
  ObjectRef value_object = created(PyUnicode_FromString(value));
  return add_name(module, name_object.get(), value_object.get());
}

bool fill_module(PyObject *module) {
  for (const FunctionRecord &record : kFunctionRecords) {
    if (!add_function(module, record)) return false;
  }
  return add_constant(module, "REL", "c2pa-manifest") &&
         add_constant(module, "__version__", "0.1.0");
}

ObjectRef initialize() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return {};
  const PyObject *const seen = module_cell.module;
  if (seen != nullptr && cell_module_was_imported(interpreter)) {
    PyErr_SetString(PyExc_ImportError,
                    "manilink may be initialized only once per interpreter process");
    return {};
  }
  ObjectRef module =
      ObjectRef::steal(call_python(PyModule_Create2, &module_definition, int{PYTHON_ABI_VERSION}));
  if (!module) return {};
  if (!fill_module(module.get())) return {};
  // The module body may run Python code, which may have initialized the
  // module in the meantime: the module in the cell is then the one.
  if (module_cell.module != seen) return ObjectRef::borrow(module_cell.module);
  const ModuleCell left = module_cell;
  module_cell = {module.release(), interpreter};
  // A module that no import took is released by the interpreter that made
  // it; one that the main interpreter made for a sub-interpreter stays, as
  // the cell's own would.
  if (left.module != nullptr && left.interpreter == interpreter) {
    ObjectRef discarded = ObjectRef::steal(left.module);
  }
  return ObjectRef::borrow(module_cell.module);
}

}  // namespace

}  // namespace manilink

PyMODINIT_FUNC PyInit_manilink(void) { return manilink::run_at_boundary(manilink::initialize); }
