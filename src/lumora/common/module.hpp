// Module start-up rules shared by every extension module: one interpreter per process, one
// initialisation per process, attributes bound in a fixed order, and global-name look-ups that
// see replacements made on the module at run time.
#pragma once

#include <cstdint>

#include "lumora/common/messages.hpp"

// The module's one exported entry. PyMODINIT_FUNC of Python 3.8 leaves the symbol's visibility
// to the compiler, and the modules are built with hidden visibility.
#if defined(_WIN32)
#define LUMORA_MODINIT extern "C" __declspec(dllexport) PyObject*
#else
#define LUMORA_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace lumora {

// A string constant interned on first use and kept for the life of the process.
class Name {
 public:
  explicit constexpr Name(const char* text) noexcept : text_(text) {}
  PyObject* get() {
    if (obj_ == nullptr) {
      obj_ = PyUnicode_InternFromString(text_);
      if (obj_ == nullptr) throw PyErrorSet{};
    }
    return obj_;
  }
  const char* text() const noexcept { return text_; }

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

// Per-module start-up state; each module defines one instance.
struct ModuleState {
  const char* name;             // the module's own short name, e.g. "lm_build"
  PyObject* module = nullptr;   // the initialised module (a strong reference), once exec succeeded
  int64_t interpreter = -1;     // the interpreter the module was first created in
};

inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The Py_mod_create step: refuses a second interpreter, then makes a plain module.
inline PyObject* create_module(ModuleState& st, PyObject* spec) noexcept {
  int64_t id = current_interpreter_id();
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (st.interpreter == -1) {
    st.interpreter = id;
  } else if (st.interpreter != id) {
    err::interpreter_change();
    return nullptr;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
}

// The first step of every Py_mod_exec function.
inline void begin_exec(const ModuleState& st) {
  if (st.module != nullptr) throw err::already_imported(st.name);
}

// The last step: the module counts as initialised from now on.
inline void finish_exec(ModuleState& st, PyObject* m) {
  Py_INCREF(m);
  st.module = m;
}

inline void bind(PyObject* m, const char* attr, PyObject* value) {
  check(PyObject_SetAttrString(m, attr, value));
}

inline void bind_import(PyObject* m, const char* attr, const char* module_name) {
  Ref mod = ok(PyImport_ImportModule(module_name));
  bind(m, attr, mod.get());
}

// numpy.load as it was when the module started: while a module's `np.load` is still this function,
// plain token arrays may be read natively; a replaced np or np.load is always called.
inline PyObject*& numpy_load_at_start() {
  static PyObject* load = nullptr;
  return load;
}

// Imports NumPy, reporting a failure the way NumPy's C interface does (the cause stays chained).
inline void bind_numpy(PyObject* m) {
  PyObject* mod = PyImport_ImportModule("numpy");
  if (mod == nullptr) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    PyErr_SetString(PyExc_ImportError, err::numpy_import_failed());
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 != nullptr && value != nullptr) {
      Py_INCREF(value);
      PyException_SetContext(v2, value);  // steals
      Py_INCREF(value);
      PyException_SetCause(v2, value);  // steals
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Restore(t2, v2, tb2);
    throw PyErrorSet{};
  }
  Ref owned = Ref::steal(mod);
  if (numpy_load_at_start() == nullptr) numpy_load_at_start() = PyObject_GetAttrString(mod, "load");
  if (numpy_load_at_start() == nullptr) throw PyErrorSet{};
  bind(m, "np", mod);
}

// A module-level builtin function bound to the module (so `self` is the module).
inline void bind_function(PyObject* m, PyMethodDef* def) {
  Ref modname = ok(PyObject_GetAttrString(m, "__name__"));
  Ref fn = ok(PyCFunction_NewEx(def, m, modname.get()));
  bind(m, def->ml_name, fn.get());
}

inline void bind_test_dict(PyObject* m) {
  Ref d = ok(PyDict_New());
  bind(m, "__test__", d.get());
}

// Looks a global name up as compiled module code does: the module's namespace, then builtins.
inline Ref global(PyObject* module, Name& name) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) throw PyErrorSet{};
  PyObject* v = PyDict_GetItemWithError(dict, name.get());
  if (v == nullptr) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    v = builtins ? PyDict_GetItemWithError(builtins, name.get()) : nullptr;
    if (v == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
      throw PyErrorSet{};
    }
  }
  return Ref::borrow(v);
}

// getattr(obj, name)
inline Ref attr(PyObject* obj, Name& name) { return ok(PyObject_GetAttr(obj, name.get())); }

// Calls obj.name(*args).
template <class... Args>
Ref call_method(PyObject* obj, Name& name, Args... args) {
  return ok(PyObject_CallMethodObjArgs(obj, name.get(), args..., nullptr));
}

template <class... Args>
Ref call(PyObject* fn, Args... args) {
  return ok(PyObject_CallFunctionObjArgs(fn, args..., nullptr));
}

// The body of a module's exec slot: the start-up rules, then `bind_attrs`, which binds the
// module's own attributes in their order, then __test__. 0, or -1 with the exception set.
template <class Bind>
int exec_with(ModuleState& st, PyObject* m, Bind&& bind_attrs) {
  PyObject* r = guarded([&]() -> PyObject* {
    begin_exec(st);
    bind_attrs();
    bind_test_dict(m);
    finish_exec(st, m);
    Py_RETURN_NONE;
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

}  // namespace lumora

// The create and exec slots, the definition and the exported entry of the extension module NAME
// (its state and exec function named in the lumora namespace). Used once, at the end of a
// module's source, outside any namespace.
#define LUMORA_MODULE(NAME, DOC, STATE, EXEC)                                                  \
  static PyObject* NAME##_create(PyObject* spec, PyModuleDef*) {                              \
    return ::lumora::create_module(STATE, spec);                                              \
  }                                                                                           \
  static PyModuleDef_Slot NAME##_slots[] = {                                                  \
      {Py_mod_create, reinterpret_cast<void*>(NAME##_create)},                                \
      {Py_mod_exec, reinterpret_cast<void*>(EXEC)},                                           \
      {0, nullptr}};                                                                          \
  static PyModuleDef NAME##_def = {                                                           \
      PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr, NAME##_slots, nullptr, nullptr, nullptr}; \
  LUMORA_MODINIT PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
