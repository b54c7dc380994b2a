#include "module/python.hpp"

#include "module/arguments.hpp"

#include <algorithm>
#include <cstddef>

namespace manilink {

namespace {

// A length reported by a sequence is only a hint: room for more texts than
// this is made as they arrive.
constexpr Py_ssize_t kLargestReservation = Py_ssize_t{1} << 16;

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
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  return Failure::raised();
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
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                 signature.name, given);
    return Failure::raised();
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
      if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.name);
        return Failure::raised();
      }
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameter) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     signature.name, keyword);
        return Failure::raised();
      }
      if (bound) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                     signature.parameter);
        return Failure::raised();
      }
      bound = ObjectRef::add_reference(value);
    }
  }
  if (!bound) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 signature.name, signature.parameter);
    return Failure::raised();
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

// Owned copies of the UTF-8 forms of a sequence of str objects.
Outcome<edge::TextList> text_list_from_object(PyObject *object) {
  if (is_str(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return Failure::raised();
  }
  if (!PySequence_Check(object)) return not_convertible(object, "Sequence");
  edge::TextList texts;
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    // The length is only a hint, and a sequence that cannot tell it is read
    // all the same.
    if (PyErr_Occurred() != nullptr && error_passes_on()) return Failure::raised();
    PyErr_Clear();
  } else if (!texts.reserve(static_cast<std::size_t>(std::min(length, kLargestReservation)))) {
    return Failure::no_memory();
  }
  MANILINK_TRY(iterator, returned(PyObject_GetIter(object)));
  while (ObjectRef item = ObjectRef::steal(PyIter_Next(iterator.get()))) {
    MANILINK_TRY(text, text_from_object(item.get()));
    if (!texts.append(text.text)) return Failure::no_memory();
  }
  if (PyErr_Occurred() != nullptr) return Failure::raised();
  return texts;
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
  if (text.failed()) return argument_error(signature.parameter, text.failure());
  return text;
}

Outcome<edge::TextList> text_list_argument(const FunctionSignature &signature, PyObject *args,
                                           PyObject *kwargs) {
  MANILINK_TRY(bound, bind_arguments(signature, args, kwargs));
  Outcome<edge::TextList> texts = text_list_from_object(bound.get());
  if (texts.failed()) return argument_error(signature.parameter, texts.failure());
  return texts;
}

}  // namespace manilink
