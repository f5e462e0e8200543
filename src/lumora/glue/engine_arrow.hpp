// The engine's Arrow functions: a table's NumPy columns handed out as Arrow C streams and schemas
// (PyCapsules) whose buffers are the arrays' own memory, and the byte copy of a string gather.
#pragma once
#include <Python.h>

#include "lumora/common/ref.hpp"
#include "lumora/engine/arrow.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace lumora {
namespace arrow_glue {

namespace ea = engine::arrow;

inline bool interpreter_gone() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

// Buffer views of a column's arrays. A consumer may let go of the column on any thread, so the
// views are released with the interpreter lock taken; once the interpreter is shutting down
// they are left alone (taking the lock from a foreign thread then would never return).
class Views final : public ea::Keeper {
 public:
  Views() = default;
  Views(const Views&) = delete;
  Views& operator=(const Views&) = delete;
  Buffer& add() {
    views_.push_back(std::make_unique<Buffer>());
    return *views_.back();
  }
  ~Views() override {
    if (views_.empty()) return;
    if (PyGILState_Check()) {
      PendingError keep;
      views_.clear();
      return;
    }
    if (interpreter_gone()) {
      for (auto& v : views_) (void)v.release();
      return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    {
      PendingError keep;
      views_.clear();
    }
    PyGILState_Release(state);
  }

 private:
  std::vector<std::unique_ptr<Buffer>> views_;
};

// The element type of a one-dimensional buffer in native byte order, or false.
inline bool element_type(const Py_buffer& v, ea::Type* type) {
  const char* f = v.format != nullptr ? v.format : "B";
  if (*f == '@' || *f == '=') ++f;
#if PY_LITTLE_ENDIAN
  if (*f == '<') ++f;
#else
  if (*f == '>' || *f == '!') ++f;
#endif
  if (f[0] == '\0' || f[1] != '\0') return false;
  switch (f[0]) {
    case 'q': case 'Q': case 'l': case 'L': case 'i': case 'I':
      if (f[0] == 'Q' || f[0] == 'L' || f[0] == 'I') return false;  // unsigned
      if (v.itemsize == 8) *type = ea::Type::int64;
      else if (v.itemsize == 4) *type = ea::Type::int32;
      else return false;
      return true;
    case 'f':
      *type = ea::Type::float32;
      return v.itemsize == 4;
    case 'd':
      *type = ea::Type::float64;
      return v.itemsize == 8;
    case '?':
      *type = ea::Type::boolean;
      return v.itemsize == 1;
    default:
      return false;
  }
}

inline bool is_bytes(const Py_buffer& v) {
  const char* f = v.format != nullptr ? v.format : "B";
  if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
  return v.itemsize == 1 && (std::strcmp(f, "B") == 0 || std::strcmp(f, "b") == 0 ||
                             std::strcmp(f, "c") == 0);
}

[[noreturn]] inline void fail(PyObject* type, const char* format, Py_ssize_t i) {
  PyErr_Format(type, format, i);
  throw PyErrorSet{};
}

// A one-dimensional C-contiguous view of obj with n items (any n when n < 0).
inline void view_of(Buffer& b, PyObject* obj, Py_ssize_t n, Py_ssize_t column) {
  b.acquire(obj, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
  const Py_buffer& v = b.view();
  if (v.ndim != 1) fail(PyExc_ValueError, "column %zd is not one-dimensional", column);
  if (n >= 0 && v.shape[0] != n) fail(PyExc_ValueError, "column %zd has the wrong length", column);
}

// The table's columns: arrays of numbers or bools, or (offsets, data) pairs of string columns,
// each with the views that keep its memory.
inline std::vector<ea::Column> columns_of(PyObject* names, PyObject* columns, Py_ssize_t length) {
  if (length < 0) {
    PyErr_SetString(PyExc_ValueError, "the number of rows must not be negative");
    throw PyErrorSet{};
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  if (PyTuple_GET_SIZE(columns) != n) {
    PyErr_SetString(PyExc_ValueError, "as many names as columns are needed");
    throw PyErrorSet{};
  }
  std::vector<ea::Column> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (!PyUnicode_Check(name)) fail(PyExc_TypeError, "the name of column %zd is not a str", i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) throw PyErrorSet{};
    if (std::strlen(utf8) != static_cast<size_t>(size)) {
      fail(PyExc_ValueError, "the name of column %zd holds a NUL character", i);
    }
    ea::Column col;
    col.field.name.assign(utf8, static_cast<size_t>(size));
    col.length = length;
    auto views = std::make_unique<Views>();
    PyObject* item = PyTuple_GET_ITEM(columns, i);
    if (PyTuple_Check(item)) {
      if (PyTuple_GET_SIZE(item) != 2) {
        fail(PyExc_ValueError, "string column %zd is not an (offsets, data) pair", i);
      }
      Buffer& offsets = views->add();
      view_of(offsets, PyTuple_GET_ITEM(item, 0), length + 1, i);
      Buffer& data = views->add();
      view_of(data, PyTuple_GET_ITEM(item, 1), -1, i);
      ea::Type t;
      if (!element_type(offsets.view(), &t) || t != ea::Type::int64 || !is_bytes(data.view())) {
        fail(PyExc_TypeError, "string column %zd needs int64 offsets and uint8 data", i);
      }
      const auto* off = static_cast<const int64_t*>(offsets.view().buf);
      if (!ea::offsets_fit(off, length, data.view().len)) {
        fail(PyExc_ValueError, "the offsets of string column %zd do not fit its data", i);
      }
      col.field.type = ea::Type::large_utf8;
      col.values = off;
      col.chars = data.view().buf;
    } else {
      Buffer& values = views->add();
      view_of(values, item, length, i);
      if (!element_type(values.view(), &col.field.type)) {
        fail(PyExc_TypeError, "column %zd is not of int64, int32, float32, float64 or bool", i);
      }
      col.values = values.view().buf;
    }
    col.keep = std::move(views);
    out.push_back(std::move(col));
  }
  return out;
}

inline void free_stream_capsule(PyObject* capsule) {
  PendingError keep;
  auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (s == nullptr) {
    PyErr_Clear();
    return;
  }
  if (s->release != nullptr) s->release(s);  // not when a consumer moved the stream out
  delete s;
}

inline void free_schema_capsule(PyObject* capsule) {
  PendingError keep;
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (s == nullptr) {
    PyErr_Clear();
    return;
  }
  if (s->release != nullptr) s->release(s);
  delete s;
}

inline PyObject* arrow_stream(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* names;
    PyObject* columns;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "O!O!n:arrow_stream", &PyTuple_Type, &names, &PyTuple_Type,
                          &columns, &length)) {
      return nullptr;
    }
    std::vector<ea::Column> cols = columns_of(names, columns, length);
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->release = nullptr;
    ea::export_stream(std::move(cols), length, stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", free_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    (void)stream.release();
    return capsule;
  });
}

inline PyObject* arrow_schema(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* names;
    PyObject* columns;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "O!O!n:arrow_schema", &PyTuple_Type, &names, &PyTuple_Type,
                          &columns, &length)) {
      return nullptr;
    }
    std::vector<ea::Field> fields;
    for (ea::Column& c : columns_of(names, columns, length)) fields.push_back(c.field);
    auto schema = std::make_unique<ArrowSchema>();
    schema->release = nullptr;
    ea::export_schema(fields, schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", free_schema_capsule);
    if (capsule == nullptr) {
      schema->release(schema.get());
      return nullptr;
    }
    (void)schema.release();
    return capsule;
  });
}

// utf8_gather(src, starts, offsets, dest): copies each gathered row's bytes into dest.
inline PyObject* utf8_gather(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *src_obj, *starts_obj, *offsets_obj, *dest_obj;
    if (!PyArg_ParseTuple(args, "OOOO:utf8_gather", &src_obj, &starts_obj, &offsets_obj,
                          &dest_obj)) {
      return nullptr;
    }
    Buffer src, starts, offsets, dest;
    view_of(src, src_obj, -1, 0);
    view_of(starts, starts_obj, -1, 0);
    const Py_ssize_t n = starts.view().shape[0];
    view_of(offsets, offsets_obj, n + 1, 0);
    dest.acquire(dest_obj, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    ea::Type ts, to;
    if (!is_bytes(src.view()) || !is_bytes(dest.view()) || dest.view().ndim != 1 ||
        !element_type(starts.view(), &ts) || ts != ea::Type::int64 ||
        !element_type(offsets.view(), &to) || to != ea::Type::int64) {
      PyErr_SetString(PyExc_TypeError, "utf8_gather needs uint8 bytes and int64 positions");
      return nullptr;
    }
    const auto* s = static_cast<const uint8_t*>(src.view().buf);
    const auto* st = static_cast<const int64_t*>(starts.view().buf);
    const auto* off = static_cast<const int64_t*>(offsets.view().buf);
    auto* d = static_cast<uint8_t*>(dest.view().buf);
    const int64_t src_size = src.view().len, dest_size = dest.view().len;
    bool fits = false;
    Py_BEGIN_ALLOW_THREADS
    fits = ea::offsets_fit(off, n, dest_size) && ea::starts_fit(st, off, n, src_size);
    if (fits) ea::gather_chars(s, st, off, n, d);
    Py_END_ALLOW_THREADS
    if (!fits) {
      PyErr_SetString(PyExc_ValueError, "utf8_gather: rows out of bounds");
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace arrow_glue

inline int engine_arrow_exec(PyObject*) { return 0; }

}  // namespace lumora

#define LUMORA_ENGINE_ARROW_METHODS                                                             \
  {"arrow_stream", ::lumora::arrow_glue::arrow_stream, METH_VARARGS,                            \
   "arrow_stream(names, columns, length) -> PyCapsule 'arrow_array_stream' of one struct "      \
   "array; columns are 1-D arrays or (offsets, data) pairs of string columns."},                \
      {"arrow_schema", ::lumora::arrow_glue::arrow_schema, METH_VARARGS,                        \
       "arrow_schema(names, columns, length) -> PyCapsule 'arrow_schema' of the struct."},      \
      {"utf8_gather", ::lumora::arrow_glue::utf8_gather, METH_VARARGS,                          \
       "utf8_gather(src, starts, offsets, dest): copy rows' bytes of a string column gather."},
