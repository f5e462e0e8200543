// The system's own error texts, in one place. Each formatter sets the Python error and returns
// PyErrorSet, so call sites read `throw err::expected("dict", obj);`.
#pragma once

#include <cstring>

#include "lumora/common/ref.hpp"

namespace lumora::err {

inline PyErrorSet arity(const char* func, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
               "exactly", expected, expected == 1 ? "" : "s", given);
  return {};
}

inline PyErrorSet unexpected_keyword(const char* func, PyObject* name) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
  return {};
}

inline PyErrorSet multiple_values(const char* func, PyObject* name) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, name);
  return {};
}

inline PyErrorSet keywords_not_strings(const char* func) {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
  return {};
}

inline PyErrorSet incorrect_type(const char* arg, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               arg, expected, Py_TYPE(got)->tp_name);
  return {};
}

// The type's name without its module ("OrderedDict", not "collections.OrderedDict").
inline const char* short_type_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

// "Expected dict, got list": a value of the wrong exact type.
inline PyErrorSet expected(const char* type_name, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", type_name, short_type_name(got));
  return {};
}

inline PyErrorSet cannot_convert(PyObject* got, const char* type_name) {
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(got)->tp_name, type_name);
  return {};
}

inline PyErrorSet integer_required() {
  PyErr_SetString(PyExc_TypeError, "an integer is required");
  return {};
}

inline PyErrorSet int_overflow() {
  PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
  return {};
}

// A local name read before it was bound in the algorithm's own terms ("ix", "counter").
inline PyErrorSet unbound_local(const char* name) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
  return {};
}

inline PyErrorSet not_subscriptable(PyObject* got) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(got)->tp_name);
  return {};
}

inline PyErrorSet no_attribute(PyObject* got, const char* attr) {
  PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'", Py_TYPE(got)->tp_name,
               attr);
  return {};
}

inline PyErrorSet list_index() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return {};
}

// KeyError carrying the missing key itself, as a dict lookup raises it.
inline PyErrorSet key_error(PyObject* key) {
  PyObject* args = PyTuple_Pack(1, key);
  if (args != nullptr) {
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
  }
  return {};
}

inline PyErrorSet float_division() {
  PyErr_SetString(PyExc_ZeroDivisionError, "float division");
  return {};
}

inline PyErrorSet already_imported(const char* module) {
  PyErr_Format(PyExc_RuntimeError,
               "Module '%s' has already been imported. Re-initialisation is not supported.", module);
  return {};
}

inline PyErrorSet interpreter_change() {
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return {};
}

inline const char* numpy_import_failed() { return "numpy.core.multiarray failed to import"; }

inline PyErrorSet tuple_index() {
  PyErr_SetString(PyExc_IndexError, "tuple index out of range");
  return {};
}

// Unpacking a result into a fixed number of names.
inline PyErrorSet too_many_values(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  return {};
}

inline PyErrorSet need_more_values(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
  return {};
}

// A language name that would lead a data-file path out of its folder.
inline PyErrorSet bad_language(PyObject* language) {
  PyErr_Format(PyExc_ValueError,
               "invalid language %R: a path separator, '..' or a NUL character is not allowed",
               language);
  return {};
}

// An encoded node or tag list whose ids are not integers ("float64", "str", "NoneType").
inline PyErrorSet ids_not_integers(const char* got) {
  PyErr_Format(PyExc_TypeError, "encoded ids must be integers, not %.200s", got);
  return {};
}

}  // namespace lumora::err
