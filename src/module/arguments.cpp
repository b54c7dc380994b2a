#include "module/python.hpp"

#include "module/arguments.hpp"

#include <algorithm>

#include "module/entry.hpp"

namespace manilink {

namespace {

// A length reported by a sequence is only a hint: room for more texts than
// this is made as they arrive.
constexpr Py_ssize_t kLargestReservation = Py_ssize_t{1} << 16;

bool is_str(PyObject *object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// Raises "'<type>' object cannot be converted to '<target>'".
void raise_not_convertible(PyObject *object, const char *target) {
  // A metaclass may compute the name in Python.
  ObjectRef type_name = ObjectRef::steal(call_python(
      PyObject_GetAttrString, reinterpret_cast<PyObject *>(Py_TYPE(object)), "__qualname__"));
  if (type_name && PyUnicode_Check(type_name.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                 target);
  } else {
    call_python(PyErr_Clear);
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
}

// str(exception) with lone surrogates turned into U+FFFD; a failing str() is
// reported as unraisable and stands as "<unprintable ... object>".
ObjectRef exception_text(PyObject *exception) {
  ObjectRef text = ObjectRef::steal(call_python(PyObject_Str, exception));
  if (!text) {
    call_python(PyErr_WriteUnraisable, exception);  // sys.unraisablehook may be Python code
    ObjectRef type_name = ObjectRef::steal(call_python(
        PyObject_GetAttrString, reinterpret_cast<PyObject *>(Py_TYPE(exception)), "__name__"));
    if (type_name && PyUnicode_Check(type_name.get())) {
      return created(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
    }
    call_python(PyErr_Clear);
    return created(PyUnicode_FromString("<unprintable object>"));
  }
  ObjectRef utf8 =
      ObjectRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!utf8) return {};
  return created(
      PyUnicode_DecodeUTF8(PyBytes_AsString(utf8.get()), PyBytes_Size(utf8.get()), "replace"));
}

}  // namespace

ObjectRef bind_arguments(const FunctionSignature &signature, PyObject *args, PyObject *kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return {};
  if (given > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                 signature.name, given);
    return {};
  }
  PyObject *bound = given == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr;
    PyObject *value = nullptr;
    // Dict order is the order in which the caller wrote the keywords.
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.name);
        return {};
      }
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameter) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     signature.name, keyword);
        return {};
      }
      if (bound != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                     signature.parameter);
        return {};
      }
      bound = value;
    }
  }
  if (bound == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 signature.name, signature.parameter);
    return {};
  }
  // The keyword dict may be the caller's own, and the conversion runs Python
  // code that can empty it: the bound object is held for the whole call.
  return ObjectRef::borrow(bound);
}

std::optional<std::string> text_from_object(PyObject *object) {
  if (!is_str(object)) {
    raise_not_convertible(object, "PyString");
    return std::nullopt;
  }
  // The string's own characters, strictly encoded; a subclass's __str__ is
  // not called, and a lone surrogate raises UnicodeEncodeError.
  ObjectRef utf8 = ObjectRef::steal(PyUnicode_AsUTF8String(object));
  if (!utf8) return std::nullopt;
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::string>> text_list_from_object(PyObject *object) {
  if (is_str(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    raise_not_convertible(object, "Sequence");
    return std::nullopt;
  }
  std::vector<std::string> texts;
  const Py_ssize_t length = call_python(PySequence_Size, object);
  if (length < 0) {
    // The length is only a hint, and a sequence that cannot tell it is read
    // all the same; but an interrupt (anything that is not an Exception, such
    // as KeyboardInterrupt or SystemExit) is never swallowed.
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) {
      return std::nullopt;
    }
    call_python(PyErr_Clear);
  } else {
    texts.reserve(static_cast<std::size_t>(std::min(length, kLargestReservation)));
  }
  ObjectRef iterator = ObjectRef::steal(call_python(PyObject_GetIter, object));
  if (!iterator) return std::nullopt;
  while (ObjectRef item = ObjectRef::steal(call_python(PyIter_Next, iterator.get()))) {
    std::optional<std::string> text = text_from_object(item.get());
    if (!text) return std::nullopt;
    texts.push_back(std::move(*text));
  }
  if (PyErr_Occurred() != nullptr) return std::nullopt;
  return texts;
}

void argument_error(const char *parameter) {
  PendingError error = PendingError::fetch();
  if (error.type.get() != PyExc_TypeError) {
    error.restore();
    return;
  }
  error.normalize();
  ObjectRef text = exception_text(error.value.get());
  if (!text) return;
  ObjectRef message = created(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  ObjectRef relabelled =
      ObjectRef::steal(call_python(PyObject_CallFunctionObjArgs, PyExc_TypeError, message.get(),
                                   static_cast<PyObject *>(nullptr)));
  if (!relabelled) return;
  // Keep the conversion error's own cause, not the conversion error.
  if (PyObject *cause = PyException_GetCause(error.value.get())) {
    PyException_SetCause(relabelled.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, relabelled.get());
}

std::optional<std::string> text_argument(const FunctionSignature &signature, PyObject *args,
                                         PyObject *kwargs) {
  const ObjectRef bound = bind_arguments(signature, args, kwargs);
  if (!bound) return std::nullopt;
  std::optional<std::string> text = text_from_object(bound.get());
  if (!text) argument_error(signature.parameter);
  return text;
}

std::optional<std::vector<std::string>> text_list_argument(const FunctionSignature &signature,
                                                           PyObject *args, PyObject *kwargs) {
  const ObjectRef bound = bind_arguments(signature, args, kwargs);
  if (!bound) return std::nullopt;
  std::optional<std::vector<std::string>> texts = text_list_from_object(bound.get());
  if (!texts) argument_error(signature.parameter);
  return texts;
}

ObjectRef str_from_text(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace manilink
