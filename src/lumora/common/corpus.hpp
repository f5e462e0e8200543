// The corpus folder as every module reads it: paths by plain concatenation, folder listings,
// the two dictionary loaders, dictionary inversion and token arrays as raw integer views.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "lumora/common/args.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/npy.hpp"

namespace lumora {

namespace names {
inline Name os{"os"}, np{"np"}, pickle{"pickle"}, open{"open"}, load{"load"}, dump{"dump"},
    listdir{"listdir"}, close{"close"}, rb{"rb"}, wb{"wb"}, ndarray{"ndarray"}, dtype{"dtype"},
    items{"items"}, replace{"replace"}, remove{"remove"}, flush{"flush"}, fsync{"fsync"},
    fileno{"fileno"};
inline Name npy_dir{"/data/npy/"}, tmp1_dir{"/data/tmp1/"}, words_pickle{"/data/idx/words.pickle"},
    tags_pickle{"/data/idx/tags.pickle"}, wordslc_pickle{"/data/idx/wordslc.pickle"};
}  // namespace names

// a + b with Python's semantics (a None workspace fails here with Python's TypeError).
inline Ref concat(PyObject* a, PyObject* b) { return ok(PyNumber_Add(a, b)); }

// workspace + corpus_name + suffix
inline Ref corpus_path(PyObject* workspace, PyObject* corpus_name, Name& suffix) {
  Ref folder = concat(workspace, corpus_name);
  return concat(folder.get(), suffix.get());
}

// os.listdir(path), which must give a list; the order is the operating system's.
inline Ref listdir(PyObject* module, PyObject* path) {
  Ref os = global(module, names::os);
  Ref files = call_method(os.get(), names::listdir, path);
  if (!PyList_CheckExact(files.get())) throw err::expected("list", files.get());
  return files;
}

// One entry name of a listing, which must be a str.
inline PyObject* entry_name(PyObject* files, Py_ssize_t i) {
  PyObject* name = PyList_GET_ITEM(files, i);
  if (!PyUnicode_CheckExact(name)) throw err::expected("str", name);
  return name;
}

// Calls f.close(), keeping an exception that is already pending.
inline void close_file(PyObject* f) {
  if (PyErr_Occurred()) {
    PendingError keep;
    PyObject* r = PyObject_CallMethodObjArgs(f, names::close.get(), nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
  } else {
    Ref r = call_method(f, names::close);
  }
}

// open(path, "rb") as a context manager around pickle.load.
inline Ref unpickle(PyObject* module, PyObject* path) {
  Ref open = global(module, names::open);
  Ref f = call(open.get(), path, names::rb.get());
  Ref pickle = global(module, names::pickle);
  PyObject* obj = PyObject_CallMethodObjArgs(pickle.get(), names::load.get(), f.get(), nullptr);
  close_file(f.get());
  if (obj == nullptr) throw PyErrorSet{};
  if (PyErr_Occurred()) {  // close failed after a good load
    Py_DECREF(obj);
    throw PyErrorSet{};
  }
  return Ref::steal(obj);
}

// A str path as the file system takes it (os.fsencode), for reading a file natively; empty (no
// error set) when there is none: not an exact str, not encodable, or holding a NUL, which
// Python's own open refuses.
inline Ref native_path(PyObject* path) {
  if (!PyUnicode_CheckExact(path)) return Ref();
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
  if (!encoded) {
    PyErr_Clear();
    return Ref();
  }
  const char* p = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(p) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) return Ref();
  return encoded;
}

// The loader that returns the unpickled object itself: a dict or None.
inline Ref load_dict(PyObject* module, PyObject* path) {
  Ref obj = unpickle(module, path);
  if (obj.get() != Py_None && !PyDict_CheckExact(obj.get())) throw err::expected("dict", obj.get());
  return obj;
}

// The loader that returns dict(obj) of the unpickled object.
inline Ref load_dict_copy(PyObject* module, PyObject* path) {
  Ref obj = unpickle(module, path);
  return call(reinterpret_cast<PyObject*>(&PyDict_Type), obj.get());
}

// A new dict walking d's items in order and setting new[v] = k; the later of two equal values wins.
inline Ref invert(PyObject* d) {
  if (d == Py_None) throw err::no_attribute(d, "items");
  Ref out = ok(PyDict_New());
  if (PyDict_CheckExact(d)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
      Ref hold_k = Ref::borrow(k), hold_v = Ref::borrow(v);
      check(PyDict_SetItem(out.get(), v, k));
    }
    return out;
  }
  Ref items = ok(PyMapping_Items(d));
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) throw err::expected("tuple", kv);
    check(PyDict_SetItem(out.get(), PyTuple_GET_ITEM(kv, 1), PyTuple_GET_ITEM(kv, 0)));
  }
  return out;
}

// The same inversion for a dictionary in word-to-id form: every key must be a str and every value
// a signed 32-bit integer, stored as a Python int.
inline Ref invert_checked(PyObject* d) {
  if (d == Py_None) throw err::no_attribute(d, "items");
  if (!PyDict_CheckExact(d)) throw err::expected("dict", d);
  Ref out = ok(PyDict_New());
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &pos, &k, &v)) {
    Ref hold_k = Ref::borrow(k), hold_v = Ref::borrow(v);
    if (!PyUnicode_CheckExact(k)) throw err::expected("str", k);
    int32_t id = to_int32(v);
    Ref key = ok(PyLong_FromLong(id));
    check(PyDict_SetItem(out.get(), key.get(), k));
  }
  return out;
}

// One token array read through the buffer protocol, as a view of 64-bit integers:
// at(i, j) is column j of row i. A one-dimensional empty array is a text with no tokens.
class TokenArray {
 public:
  // Loads np.load(path); `columns` is how many leading columns the caller reads.
  void load(PyObject* module, PyObject* path, int columns) {
    Ref np = global(module, names::np);
    Ref load = attr(np.get(), names::load);
    if (load.get() == numpy_load_at_start() && load_native(path, columns)) return;
    Ref arr = call(load.get(), path);
    Ref ndarray = attr(np.get(), names::ndarray);
    int is_array = PyObject_IsInstance(arr.get(), ndarray.get());
    check(is_array);
    if (!is_array) throw err::cannot_convert(arr.get(), "numpy.ndarray");
    from_array(arr.get(), columns);
  }

  // Reads the plain layout of a token array without NumPy; false when NumPy must read the file.
  // With exact_columns, a two-dimensional array must have exactly `columns` columns.
  bool load_native(PyObject* path, int columns, bool exact_columns = false) {
    buffer_.release();
    copy_.clear();
    rows_ = 0;
    base_ = nullptr;
    Ref encoded = native_path(path);
    if (!encoded) return false;
    const char* p = PyBytes_AS_STRING(encoded.get());
    npy::Header h;
    if (!npy::read(p, &h, copy_)) {
      copy_.clear();
      return false;
    }
    if (h.ndim == 1 && h.shape[0] == 0) return true;  // an empty text
    if (h.ndim != 2 || h.shape[1] < columns || (exact_columns && h.shape[1] != columns)) {
      copy_.clear();
      return false;  // NumPy's indexing error, through the array NumPy reads
    }
    rows_ = static_cast<Py_ssize_t>(h.shape[0]);
    base_ = copy_.data();
    if (h.fortran) {
      rs_ = 1;
      cs_ = static_cast<Py_ssize_t>(h.shape[0]);
    } else {
      rs_ = static_cast<Py_ssize_t>(h.shape[1]);
      cs_ = 1;
    }
    return true;
  }

  // Views an array object already at hand.
  void from_array(PyObject* arr, int columns) {
    buffer_.release();
    copy_.clear();
    rows_ = 0;
    base_ = nullptr;
    buffer_.acquire(arr, PyBUF_RECORDS_RO);
    const Py_buffer& v = buffer_.view();
    if (v.ndim == 1 && v.shape[0] == 0) return;  // an empty text
    if (v.ndim < 2) {
      PyErr_Format(PyExc_IndexError,
                   "too many indices for array: array is %d-dimensional, but 2 were indexed",
                   v.ndim);
      throw PyErrorSet{};
    }
    if (v.ndim > 2) {
      PyErr_Format(PyExc_ValueError, "token array must be two-dimensional, not %d-dimensional",
                   v.ndim);
      throw PyErrorSet{};
    }
    if (v.shape[1] < columns) {
      PyErr_Format(PyExc_IndexError, "index %d is out of bounds for axis 1 with size %zd",
                   columns - 1, v.shape[1]);
      throw PyErrorSet{};
    }
    char kind = 0;
    bool swap = false;
    if (!parse_format(v.format, v.itemsize, &kind, &swap)) {
      Ref dtype = ok(PyObject_GetAttr(arr, names::dtype.get()));
      PyErr_Format(PyExc_TypeError, "token arrays must hold integers, not %S", dtype.get());
      throw PyErrorSet{};
    }
    rows_ = v.shape[0];
    if (rows_ == 0) return;
    if (kind == 'i' && !swap && v.itemsize == 8 && v.strides[0] % 8 == 0 && v.strides[1] % 8 == 0) {
      base_ = static_cast<const int64_t*>(v.buf);
      rs_ = v.strides[0] / 8;
      cs_ = v.strides[1] / 8;
      return;
    }
    // Other widths, byte orders or odd strides: copy the columns the caller reads.
    copy_.resize(static_cast<size_t>(rows_) * columns);
    const char* buf = static_cast<const char*>(v.buf);
    for (Py_ssize_t i = 0; i < rows_; ++i)
      for (int j = 0; j < columns; ++j)
        copy_[static_cast<size_t>(i) * columns + j] =
            read_int(buf + i * v.strides[0] + j * v.strides[1], v.itemsize, kind, swap);
    base_ = copy_.data();
    rs_ = columns;
    cs_ = 1;
    buffer_.release();
  }

  Py_ssize_t rows() const noexcept { return rows_; }
  int64_t at(Py_ssize_t i, int j) const noexcept { return base_[i * rs_ + j * cs_]; }
  Py_ssize_t row_stride() const noexcept { return rs_; }
  Py_ssize_t col_stride() const noexcept { return cs_; }
  const int64_t* base() const noexcept { return base_; }

  // Column j copied into a contiguous vector.
  void column(int j, std::vector<int64_t>& out) const {
    out.resize(static_cast<size_t>(rows_));
    const int64_t* p = base_ ? base_ + j * cs_ : nullptr;
    for (Py_ssize_t i = 0; i < rows_; ++i) out[static_cast<size_t>(i)] = p[i * rs_];
  }

 private:
  static bool parse_format(const char* fmt, Py_ssize_t itemsize, char* kind, bool* swap) {
    if (fmt == nullptr) return false;
    bool little = true;
    {
      const uint16_t probe = 1;
      little = *reinterpret_cast<const uint8_t*>(&probe) == 1;
    }
    bool big = !little;
    if (*fmt == '<' || *fmt == '>' || *fmt == '=' || *fmt == '@' || *fmt == '!') {
      if (*fmt == '<') big = false;
      if (*fmt == '>' || *fmt == '!') big = true;
      if (*fmt == '=' || *fmt == '@') big = !little;
      ++fmt;
    }
    if (fmt[0] == '\0' || fmt[1] != '\0') return false;
    switch (fmt[0]) {
      case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': *kind = 'i'; break;
      case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': case '?': *kind = 'u'; break;
      default: return false;
    }
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return false;
    *swap = big == little && itemsize > 1;
    return true;
  }

  static int64_t read_int(const char* p, Py_ssize_t size, char kind, bool swap) {
    unsigned char b[8];
    std::memcpy(b, p, static_cast<size_t>(size));
    if (swap)
      for (Py_ssize_t i = 0; i < size / 2; ++i) std::swap(b[i], b[size - 1 - i]);
    switch (size) {
      case 1: { int8_t s; uint8_t u; std::memcpy(&s, b, 1); std::memcpy(&u, b, 1);
                return kind == 'i' ? s : u; }
      case 2: { int16_t s; uint16_t u; std::memcpy(&s, b, 2); std::memcpy(&u, b, 2);
                return kind == 'i' ? s : u; }
      case 4: { int32_t s; uint32_t u; std::memcpy(&s, b, 4); std::memcpy(&u, b, 4);
                return kind == 'i' ? s : static_cast<int64_t>(u); }
      default: { int64_t s; std::memcpy(&s, b, 8); return s; }
    }
  }

  Buffer buffer_;
  npy::Ints copy_;
  const int64_t* base_ = nullptr;
  Py_ssize_t rows_ = 0, rs_ = 0, cs_ = 0;
};

}  // namespace lumora
