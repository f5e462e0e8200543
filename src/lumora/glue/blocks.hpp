// Column buffers handed to Python without a copy. A Block owns the memory of a finished C++
// vector (moved into it, so the bytes never move) and lends it through the buffer protocol,
// writable, so that np.frombuffer(block, dtype) is a column viewing the engine's own buffer. The
// memory goes when the last array viewing it does.
#pragma once
#include <Python.h>

#include "lumora/common/ref.hpp"

#include <new>
#include <utility>
#include <vector>

namespace lumora {
namespace blocks {

struct Owner {
  virtual ~Owner() = default;
};

template <class V>
struct Held final : Owner {
  explicit Held(V&& v) : vec(std::move(v)) {}
  V vec;
};

struct Block {
  PyObject_HEAD
  Owner* owner;
  void* data;
  Py_ssize_t bytes;
};

inline PyTypeObject* block_type = nullptr;

inline int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<Block*>(self);
  static char empty = 0;  // an empty vector may have no memory at all
  return PyBuffer_FillInfo(view, self, b->data != nullptr ? b->data : &empty, b->bytes, 0, flags);
}

inline void block_dealloc(PyObject* self) {
  auto* b = reinterpret_cast<Block*>(self);
  delete b->owner;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

inline PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_doc, const_cast<char*>("A column buffer of the engine, lent as a buffer.")},
    {0, nullptr}};

inline PyType_Spec block_spec = {"lumora._engine.Block", sizeof(Block), 0, Py_TPFLAGS_DEFAULT,
                                 block_slots};

// Makes the type once per process (the buffer functions are set on the heap type's own table:
// the type slots for them are not available before Python 3.9).
inline int blocks_exec(PyObject*) {
  if (block_type != nullptr) return 0;
  PyObject* tp = PyType_FromSpec(&block_spec);
  if (tp == nullptr) return -1;
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(tp);
  heap->as_buffer.bf_getbuffer = block_getbuffer;
  heap->as_buffer.bf_releasebuffer = nullptr;
  reinterpret_cast<PyTypeObject*>(tp)->tp_as_buffer = &heap->as_buffer;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(tp));
  block_type = reinterpret_cast<PyTypeObject*>(tp);
  return 0;
}

// A Block owning v's memory (v is left empty).
template <class T, class A>
Ref block_of(std::vector<T, A>& v) {
  using V = std::vector<T, A>;
  auto* held = new Held<V>(std::move(v));
  auto* b = PyObject_New(Block, block_type);
  if (b == nullptr) {
    delete held;
    throw PyErrorSet{};
  }
  b->owner = held;
  b->data = held->vec.data();
  b->bytes = static_cast<Py_ssize_t>(held->vec.size() * sizeof(T));
  return Ref::steal(reinterpret_cast<PyObject*>(b));
}

}  // namespace blocks
}  // namespace lumora
