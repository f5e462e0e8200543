// Argument parsing for the public functions: a fixed number of arguments, by position or keyword,
// no defaults, and the str-or-None check made before any work.
#pragma once

#include <climits>
#include <cstdint>

#include "lumora/common/messages.hpp"

namespace lumora {

constexpr int kMaxArgs = 8;

struct Signature {
  const char* func;                 // function name used in messages
  int count;                        // number of parameters
  const char* names[kMaxArgs];      // parameter names, in order
  unsigned str_or_none;             // bit i set: parameter i must be a str or None
  PyObject* interned[kMaxArgs] = {};  // filled by intern(), once at module start-up

  bool intern() {
    for (int i = 0; i < count; ++i) {
      if (interned[i] == nullptr) {
        interned[i] = PyUnicode_InternFromString(names[i]);
        if (interned[i] == nullptr) return false;
      }
    }
    return true;
  }
};

namespace detail {

// Index of a keyword among the parameters, or -1. Identity first, then equality.
inline int find_keyword(const Signature& sig, PyObject* key) {
  for (int i = 0; i < sig.count; ++i)
    if (sig.interned[i] == key) return i;
  for (int i = 0; i < sig.count; ++i) {
    int eq = PyUnicode_Compare(sig.interned[i], key);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return -1;
}

inline PyObject* keyword_value(const Signature& sig, int index, PyObject* const* kwvalues,
                               PyObject* kwnames, Py_ssize_t nkw) {
  PyObject* want = sig.interned[index];
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (PyTuple_GET_ITEM(kwnames, k) == want) return kwvalues[k];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_Check(key) && PyUnicode_Compare(want, key) == 0) return kwvalues[k];
    if (PyErr_Occurred()) PyErr_Clear();
  }
  return nullptr;
}

}  // namespace detail

// Fills out[0..count) with borrowed references. A missing argument is reported with the number of
// arguments that precede it, as for a call that gave only those.
inline void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > sig.count) throw err::arity(sig.func, sig.count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (nkw == 0) {
    if (nargs != sig.count) throw err::arity(sig.func, sig.count, nargs);
  } else {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
      PyObject* v = detail::keyword_value(sig, static_cast<int>(i), kwvalues, kwnames, nkw);
      if (v == nullptr) throw err::arity(sig.func, sig.count, i);
      out[i] = v;
      ++used;
    }
    if (used < nkw) {
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) throw err::keywords_not_strings(sig.func);
        int at = detail::find_keyword(sig, key);
        if (at < 0) throw err::unexpected_keyword(sig.func, key);
        if (at < nargs) throw err::multiple_values(sig.func, key);
      }
    }
  }
  for (int i = 0; i < sig.count; ++i) {
    if ((sig.str_or_none >> i) & 1u) {
      PyObject* v = out[i];
      if (v != Py_None && Py_TYPE(v) != &PyUnicode_Type)
        throw err::incorrect_type(sig.names[i], "str", v);
    }
  }
}

// A signed 32-bit integer from anything with __index__ (int, bool, NumPy integers).
inline int32_t to_int32(PyObject* obj) {
  Ref owned;
  if (!PyLong_Check(obj)) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_index == nullptr) throw err::integer_required();
    owned = ok(PyNumber_Index(obj));
    obj = owned.get();
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) throw err::int_overflow();
  return static_cast<int32_t>(v);
}

// Unpacks exactly n values from a tuple, a list or any iterable (read for at most n + 1 items),
// with the messages of compiled unpacking.
inline void unpack(PyObject* seq, Ref* out, int n) {
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
    if (size > n) throw err::too_many_values(n);
    if (size < n) throw err::need_more_values(size);
    for (int i = 0; i < n; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(seq, i));
    return;
  }
  Ref it = ok(PyObject_GetIter(seq));
  for (int i = 0; i < n; ++i) {
    PyObject* item = PyIter_Next(it.get());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      throw err::need_more_values(i);
    }
    out[i] = Ref::steal(item);
  }
  PyObject* extra = PyIter_Next(it.get());
  if (extra != nullptr) {
    Py_DECREF(extra);
    throw err::too_many_values(n);
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
}

// Adds two 32-bit counts, raising OverflowError as the native sum would not fit.
inline int32_t add_int32(int32_t a, int64_t b) {
  int64_t s = static_cast<int64_t>(a) + b;
  if (s < INT32_MIN || s > INT32_MAX) throw err::int_overflow();
  return static_cast<int32_t>(s);
}

}  // namespace lumora
