#include "module/python.hpp"

#include "module/arguments.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstddef>

namespace manilink {

namespace {

// A sequence's length is only a hint: room for more texts is made as they come.
constexpr Py_ssize_t kLargestReservation = Py_ssize_t{1} << 16;

// Raises TypeError with the message `format` makes (as PyErr_Format does).
Failure type_error(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(PyExc_TypeError, format, arguments);
  va_end(arguments);
  return Failure::raised();
}

bool is_str(PyObject *object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// Whether the pending error passes on even where a failure is otherwise
// replaced: an interrupt (anything that is not an Exception) or the
// recursion guard tripping on a re-entry.
bool error_passes_on() {
  return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError);
}

// The str `attribute` of the object's type, or empty when it cannot be read.
// A metaclass may compute it in Python, and call the module again.
Outcome<ObjectRef> type_name(PyObject *object, const char *attribute) {
  ObjectRef name = ObjectRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), attribute));
  if (name && PyUnicode_Check(name.get())) return name;
  if (!name && error_passes_on()) return Failure::raised();
  PyErr_Clear();
  return ObjectRef();
}

// TypeError "'<type>' object cannot be converted to '<target>'".
Failure not_convertible(PyObject *object, const char *target) {
  MANILINK_TRY(name, type_name(object, "__qualname__"));
  if (name) return type_error("'%U' object cannot be converted to '%s'", name.get(), target);
  return type_error("'<failed to extract type name>' object cannot be converted to '%s'", target);
}

// str(exception) with lone surrogates turned into U+FFFD; a failing str() is
// reported as unraisable and stands as "<unprintable ... object>".
Outcome<ObjectRef> exception_text(PyObject *exception) {
  ObjectRef text = ObjectRef::steal(PyObject_Str(exception));
  if (!text) {
    if (error_passes_on()) return Failure::raised();
    PyErr_WriteUnraisable(exception);  // sys.unraisablehook may be Python code
    MANILINK_TRY(name, type_name(exception, "__name__"));
    return created(name ? PyUnicode_FromFormat("<unprintable %U object>", name.get())
                        : PyUnicode_FromString("<unprintable object>"));
  }
  MANILINK_TRY(utf8, returned(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")));
  return created(
      PyUnicode_DecodeUTF8(PyBytes_AsString(utf8.get()), PyBytes_Size(utf8.get()), "replace"));
}

Outcome<ObjectRef> relabelled_type_error(const char *parameter) {
  const FetchedError error = FetchedError::take();
  MANILINK_TRY(text, exception_text(error.value.get()));
  MANILINK_TRY(message, created(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get())));
  MANILINK_TRY(relabelled,
               returned(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)));
  // Keep the conversion error's own cause, not the conversion error.
  if (PyObject *cause = PyException_GetCause(error.value.get())) {
    PyException_SetCause(relabelled.get(), cause);  // steals cause
  }
  return std::move(relabelled);
}

// The object bound to the parameter, with a reference of its own (a C
// caller's keyword dict may lose it while the call runs), or a TypeError.
Outcome<ObjectRef> bind_arguments(const FunctionSignature &signature, PyObject *args,
                                  PyObject *kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return Failure::raised();
  if (given > 1) {
    return type_error("%s() takes 1 positional arguments but %zd were given", signature.name,
                      given);
  }
  ObjectRef bound = ObjectRef::add_reference(given == 1 ? PyTuple_GetItem(args, 0) : nullptr);
  if (kwargs != nullptr) {
#ifdef Py_GIL_DISABLED
    // A C caller's dict may change in another thread meanwhile: read a copy.
    MANILINK_TRY(own_kwargs, created(PyDict_Copy(kwargs)));
    kwargs = own_kwargs.get();
#endif
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr;  // borrowed
    PyObject *value = nullptr;    // borrowed
    // Dict order is the order in which the caller wrote the keywords.
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!PyUnicode_Check(keyword))
        return type_error("%s() keywords must be strings", signature.name);
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameter) != 0) {
        return type_error("%s() got an unexpected keyword argument '%U'", signature.name, keyword);
      }
      if (bound) {
        return type_error("%s() got multiple values for argument '%s'", signature.name,
                          signature.parameter);
      }
      bound = ObjectRef::add_reference(value);
    }
  }
  if (!bound) {
    return type_error("%s() missing 1 required positional argument: '%s'", signature.name,
                      signature.parameter);
  }
  return bound;
}

// The strict UTF-8 form of a str (or str subclass) object.
Outcome<Utf8Text> text_from_object(PyObject *object) {
  if (!is_str(object)) return not_convertible(object, "PyString");
  // The string's own characters, strictly encoded; a subclass's __str__ is
  // not called, and a lone surrogate raises UnicodeEncodeError.
  MANILINK_TRY(utf8, returned(PyUnicode_AsUTF8String(object)));
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return Failure::raised();
  return Utf8Text{std::move(utf8), std::string_view(data, static_cast<std::size_t>(size))};
}

// The UTF-8 forms of a sequence of str objects, into `texts`.
Status text_list_from_object(PyObject *object, Utf8Values &texts) {
  if (is_str(object)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return not_convertible(object, "Sequence");
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    // The length is only a hint, and a sequence that cannot tell it is read
    // all the same.
    if (PyErr_Occurred() != nullptr && error_passes_on()) return Failure::raised();
    PyErr_Clear();
  } else if (!texts.reserve(static_cast<std::size_t>(std::min(length, kLargestReservation)))) {
    return Failure::raised();
  }
  MANILINK_TRY(iterator, returned(PyObject_GetIter(object)));
  while (ObjectRef item = ObjectRef::steal(PyIter_Next(iterator.get()))) {
    MANILINK_TRY(text, text_from_object(item.get()));
    if (!texts.append(std::move(text))) return Failure::raised();
  }
  if (PyErr_Occurred() != nullptr) return Failure::raised();
  return Done{};
}

// A conversion's failure as the call raises it: a pending TypeError (exactly
// TypeError) re-labelled; any other failure as it is.
Failure argument_error(const char *parameter, Failure failure) {
  // Exactly TypeError: a subclass is raised as it is.
  if (failure.kind != Failure::Kind::Raised || PyErr_Occurred() != PyExc_TypeError) {
    return failure;
  }
  Outcome<ObjectRef> relabelled = relabelled_type_error(parameter);
  if (relabelled.failed()) return relabelled.failure();
  PyErr_SetObject(PyExc_TypeError, relabelled.value().get());
  return Failure::raised();
}

}  // namespace

Outcome<Utf8Text> text_argument(const FunctionSignature &signature, PyObject *args,
                                PyObject *kwargs) {
  MANILINK_TRY(bound, bind_arguments(signature, args, kwargs));
  Outcome<Utf8Text> text = text_from_object(bound.get());
  return text.failed() ? argument_error(signature.parameter, text.failure()) : std::move(text);
}

Status text_list_argument(const FunctionSignature &signature, PyObject *args, PyObject *kwargs,
                          Utf8Values &texts) {
  MANILINK_TRY(bound, bind_arguments(signature, args, kwargs));
  const Status converted = text_list_from_object(bound.get(), texts);
  return converted.failed() ? argument_error(signature.parameter, converted.failure())
                            : Status(Done{});
}

}  // namespace manilink
