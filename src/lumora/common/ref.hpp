// Owned references, the "error already set" exception, and buffer owners.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace lumora {

// Thrown when a Python exception is already set; caught at the C boundary.
struct PyErrorSet {};

// A move-only owner of one strong reference.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Takes ownership of a new reference; throws if the call that produced it failed.
inline Ref ok(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return Ref::steal(p);
}

// Throws if a C-API status code signals failure.
inline void check(int status) {
  if (status < 0) throw PyErrorSet{};
}

// A buffer view released in its destructor.
class Buffer {
 public:
  Buffer() noexcept { view_.obj = nullptr; }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }
  void acquire(PyObject* obj, int flags) {
    release();
    check(PyObject_GetBuffer(obj, &view_, flags));
  }
  void release() noexcept {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
    view_.obj = nullptr;
  }
  const Py_buffer& view() const noexcept { return view_; }
  bool held() const noexcept { return view_.obj != nullptr; }

 private:
  Py_buffer view_;
};

// Runs a method body; turns the C++ exceptions that may leave it into Python errors.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

// Saves the pending exception and restores it on scope exit (for clean-up that may call Python).
class PendingError {
 public:
  PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() { PyErr_Restore(type_, value_, tb_); }

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* tb_;
};

}  // namespace lumora
