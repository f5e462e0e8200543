// Reading a dictionary file natively in place of open(path, "rb") and pickle.load, for modules
// that need only a few of its entries. Only while the module's `open` and `pickle.load` are still
// Python's own (as when the module started) and the file is a plain pickled dict (see
// pickled.hpp); otherwise the caller goes the Python way, which gives the same object or the
// error Python gives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>

#include "lumora/common/corpus.hpp"
#include "lumora/common/pickled.hpp"
#include "lumora/common/ref.hpp"

namespace lumora {

struct PickleDefaults {
  PyObject* pickle = nullptr;  // the pickle module
  PyObject* load = nullptr;    // pickle.load
  PyObject* open = nullptr;    // builtins.open
};

inline PickleDefaults& pickle_defaults() {
  static PickleDefaults d;
  return d;
}

// Notes the pickle module, its load and the built-in open as they are when the module starts.
inline void capture_pickle_defaults() {
  PickleDefaults& d = pickle_defaults();
  if (d.pickle != nullptr) return;
  Ref pickle = ok(PyImport_ImportModule("pickle"));
  Ref load = ok(PyObject_GetAttrString(pickle.get(), "load"));
  Ref builtins = ok(PyImport_ImportModule("builtins"));
  Ref open = ok(PyObject_GetAttrString(builtins.get(), "open"));
  d.pickle = pickle.release();
  d.load = load.release();
  d.open = open.release();
}

// A module global as compiled code finds it (module, then builtins), or nullptr without an
// error set when there is none or it cannot be looked up. Borrowed.
inline PyObject* global_or_null(PyObject* module, Name& name) {
  PyObject* dict = PyModule_GetDict(module);
  PyObject* v = dict ? PyDict_GetItemWithError(dict, name.get()) : nullptr;
  if (v == nullptr && !PyErr_Occurred()) {
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemWithError(builtins, name.get()) : nullptr;
  }
  if (v == nullptr) PyErr_Clear();
  return v;
}

// Whether open(path, "rb") and pickle.load would be Python's own for this module.
inline bool pickle_is_default(PyObject* module) {
  const PickleDefaults& d = pickle_defaults();
  if (d.pickle == nullptr) return false;
  if (global_or_null(module, names::open) != d.open) return false;
  PyObject* pickle = global_or_null(module, names::pickle);
  if (pickle != d.pickle) return false;
  PyObject* load = PyObject_GetAttr(pickle, names::load.get());
  if (load == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool same = load == d.load;
  Py_DECREF(load);
  return same;
}

// Reads the dictionary at path (a str) natively, visiting its entries (see pickled::Dict::read);
// false when the caller must unpickle it.
template <class Visit>
inline bool read_pickled_dict(PyObject* module, PyObject* path, pickled::Dict& out,
                              Visit&& visit) {
  if (!pickle_is_default(module)) return false;
  Ref encoded = native_path(path);
  return encoded && out.read(PyBytes_AS_STRING(encoded.get()), visit);
}

// The Python object pickle.load makes of an entry's key or value.
inline Ref pickled_object(const pickled::Dict& d, const pickled::Obj& o) {
  switch (o.kind) {
    case pickled::Obj::kInt:
      return ok(PyLong_FromLongLong(o.i));
    case pickled::Obj::kStr: {
      std::string_view b = d.bytes(o);
      return ok(PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()),
                                     "surrogatepass"));
    }
    case pickled::Obj::kList: {
      const size_t n = d.list_size(o);
      const int64_t* items = d.list_begin(o);
      Ref list = ok(PyList_New(static_cast<Py_ssize_t>(n)));
      for (size_t k = 0; k < n; ++k)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        ok(PyLong_FromLongLong(items[k])).release());
      return list;
    }
    default:
      PyErr_SetString(PyExc_SystemError, "a pickled dict inside the dict");
      throw PyErrorSet{};
  }
}

// The UTF-8 bytes a str is pickled as (lone surrogates included).
inline Ref pickled_bytes(PyObject* s) {
  return ok(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
}

// Whether an entry's key or value is the str pickled as these bytes.
inline bool same_bytes(const pickled::Dict& d, const pickled::Obj& o, PyObject* bytes) {
  if (o.kind != pickled::Obj::kStr) return false;
  std::string_view b = d.bytes(o);
  return b.size() == static_cast<size_t>(PyBytes_GET_SIZE(bytes)) &&
         std::memcmp(b.data(), PyBytes_AS_STRING(bytes), b.size()) == 0;
}

}  // namespace lumora
