// lm_build: turns the token files of a prepared corpus into token arrays and turns the word and
// tag dictionaries round from word-to-id into id-to-word form.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/common/text.hpp"
#include "lumora/lm_build_kernel.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace lumora {
namespace {

using build::Pending;
using build::read_tokens;
using build::Stop;
using build::StrTable;

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_build"};

Name n_get_files{"get_files"}, n_save{"save"}, n_empty{"empty"}, n_allow_pickle{"allow_pickle"},
    n_read{"read"}, n_partial{".partial"}, n_dtype{"dtype"};

// A str object per distinct key, so a KeyError carries the text Python would have read.
Ref decode(const unsigned char* p, size_t n) {
  return ok(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n),
                                 "strict"));
}

// int(value) to a 64-bit integer, with the errors NumPy reports when it fills an integer array.
int64_t python_int64(PyObject* value) {
  Ref i = ok(PyNumber_Long(value));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    throw PyErrorSet{};
  }
  return v;
}

// The table of a word-to-id dictionary; its key bytes live in the dictionary's str objects.
struct DictTable {
  StrTable table;
  std::vector<PyObject*> values;  // borrowed from the dictionary, which outlives the table
};

void build_table(PyObject* dict, DictTable& out) {
  Py_ssize_t n = PyDict_GET_SIZE(dict);
  out.table.reserve(static_cast<size_t>(n));
  out.values.reserve(static_cast<size_t>(n));
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) continue;  // only a str can equal a line's field
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(k, &len);
    if (utf8 == nullptr) {  // lone surrogates: never equal to decoded UTF-8 text
      PyErr_Clear();
      continue;
    }
    int64_t id = 0;
    bool needs_python = true;
    if (PyLong_CheckExact(v) || PyBool_Check(v)) {
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow == 0) {
        id = value;
        needs_python = false;
      }
    }
    out.table.add(reinterpret_cast<const unsigned char*>(utf8), static_cast<size_t>(len), id,
                  needs_python, static_cast<uint32_t>(out.values.size()));
    out.values.push_back(v);
  }
}

// Raises the failure that stopped reading a file.
PyErrorSet raise_stop(const Stop& stop) {
  switch (stop.kind) {
    case Stop::kWordDictNone:
    case Stop::kTagDictNone:
      return err::not_subscriptable(Py_None);
    case Stop::kWordMissing:
    case Stop::kTagMissing: {
      Ref key = decode(stop.p, stop.n);
      return err::key_error(key.get());
    }
    case Stop::kIndex:
    default:
      return err::list_index();
  }
}

// Fills the cells only int() can convert, in array order; the first failure is raised.
void resolve_pending(const std::vector<Pending>& pending, const DictTable& words,
                     const DictTable& tags, std::vector<int64_t>& cells) {
  for (const Pending& pd : pending) {
    size_t col = pd.cell % 4;
    if (col == 0) {
      cells[pd.cell] = python_int64(words.values[static_cast<size_t>(pd.entry)]);
    } else if (col == 1) {
      cells[pd.cell] = python_int64(tags.values[static_cast<size_t>(pd.entry)]);
    } else {
      Ref text = decode(pd.p, pd.n);
      Ref value = ok(PyLong_FromUnicodeObject(text.get(), 10));
      cells[pd.cell] = python_int64(value.get());
    }
  }
}

// np.save(path, <rows as an array of NumPy's default integer>, allow_pickle=False)
void save_array(PyObject* module, PyObject* path, const std::vector<int64_t>& cells) {
  Ref np = global(module, names::np);
  Py_ssize_t rows = static_cast<Py_ssize_t>(cells.size() / 4);
  Ref shape = rows == 0 ? ok(Py_BuildValue("(n)", static_cast<Py_ssize_t>(0)))
                        : ok(Py_BuildValue("(nn)", rows, static_cast<Py_ssize_t>(4)));
  Ref empty = attr(np.get(), n_empty);
  Ref kw = ok(PyDict_New());
  check(PyDict_SetItem(kw.get(), n_dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
  Ref args = ok(PyTuple_Pack(1, shape.get()));
  Ref arr = ok(PyObject_Call(empty.get(), args.get(), kw.get()));
  if (rows > 0) {
    Buffer buf;
    buf.acquire(arr.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT);
    const Py_buffer& v = buf.view();
    if (v.len != static_cast<Py_ssize_t>(cells.size()) * v.itemsize ||
        (v.itemsize != 8 && v.itemsize != 4)) {
      PyErr_SetString(PyExc_SystemError, "unexpected layout of NumPy's default integer");
      throw PyErrorSet{};
    }
    if (v.itemsize == 8) {
      std::memcpy(v.buf, cells.data(), cells.size() * 8);
    } else {
      auto* out = static_cast<int32_t*>(v.buf);
      for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i] < INT32_MIN || cells[i] > INT32_MAX) {
          PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
          throw PyErrorSet{};
        }
        out[i] = static_cast<int32_t>(cells[i]);
      }
    }
  }
  Ref save = attr(np.get(), n_save);
  Ref save_args = ok(PyTuple_Pack(2, path, arr.get()));
  Ref save_kw = ok(PyDict_New());
  check(PyDict_SetItem(save_kw.get(), n_allow_pickle.get(), Py_False));
  Ref r = ok(PyObject_Call(save.get(), save_args.get(), save_kw.get()));
}

// Reads the whole file in binary mode; the bytes must be UTF-8.
Ref read_file(PyObject* module, PyObject* path) {
  Ref open = global(module, names::open);
  Ref f = call(open.get(), path, names::rb.get());
  PyObject* data = PyObject_CallMethodObjArgs(f.get(), n_read.get(), nullptr);
  close_file(f.get());
  Ref owned = ok(data);
  if (PyErr_Occurred()) throw PyErrorSet{};
  if (!PyBytes_Check(data)) throw err::expected("bytes", data);
  auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
  size_t n = static_cast<size_t>(PyBytes_GET_SIZE(data));
  if (text::valid_utf8_prefix(p, n) != n) {
    // Let the codec raise its own UnicodeDecodeError.
    Ref s = ok(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n),
                                    "strict"));
    PyErr_SetString(PyExc_SystemError, "UTF-8 validation disagrees with the codec");
    throw PyErrorSet{};
  }
  return owned;
}

// Writes pickle.dump(obj) to a temporary file beside path, then renames it into place, so a
// failure or a crash never leaves a half-written dictionary.
void dump_atomically(PyObject* module, PyObject* path, PyObject* obj) {
  Ref os = global(module, names::os);
  Ref tmp = concat(path, n_partial.get());
  Ref open = global(module, names::open);
  Ref f = call(open.get(), tmp.get(), names::wb.get());
  try {
    Ref pickle = global(module, names::pickle);
    Ref r1 = call_method(pickle.get(), names::dump, obj, f.get());
    Ref r2 = call_method(f.get(), names::flush);
    Ref fd = call_method(f.get(), names::fileno);
    Ref r3 = call_method(os.get(), names::fsync, fd.get());
    Ref r4 = call_method(f.get(), names::close);
  } catch (const PyErrorSet&) {
    close_file(f.get());
    PendingError keep;
    PyObject* r = PyObject_CallMethodObjArgs(os.get(), names::remove.get(), tmp.get(), nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    throw;
  }
  PyObject* r = PyObject_CallMethodObjArgs(os.get(), names::replace.get(), tmp.get(), path, nullptr);
  if (r == nullptr) {
    PendingError keep;
    PyObject* r2 = PyObject_CallMethodObjArgs(os.get(), names::remove.get(), tmp.get(), nullptr);
    Py_XDECREF(r2);
    PyErr_Clear();
    throw PyErrorSet{};
  }
  Py_DECREF(r);
}

Signature make_indexes_sig{"make_indexes", 3, {"workspace", "corpus_name", "language"}, 0b111};

PyObject* make_indexes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    parse_args(make_indexes_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];

    Ref source_path = corpus_path(workspace, corpus_name, names::tmp1_dir);
    Ref get_files = global(self, n_get_files);
    Ref files = call(get_files.get(), source_path.get());
    Ref dic_w = load_dict(self, corpus_path(workspace, corpus_name, names::words_pickle).get());
    Ref dic_t = load_dict(self, corpus_path(workspace, corpus_name, names::tags_pickle).get());

    DictTable words, tags;
    if (dic_w.get() != Py_None) build_table(dic_w.get(), words);
    if (dic_t.get() != Py_None) build_table(dic_t.get(), tags);
    const StrTable* wt = dic_w.get() != Py_None ? &words.table : nullptr;
    const StrTable* tt = dic_t.get() != Py_None ? &tags.table : nullptr;

    Ref npy_folder = corpus_path(workspace, corpus_name, names::npy_dir);
    Ref it = ok(PyObject_GetIter(files.get()));
    std::vector<int64_t> cells;
    std::vector<Pending> pending;
    for (;;) {
      PyObject* next = PyIter_Next(it.get());
      if (next == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        break;
      }
      Ref filename = Ref::steal(next);
      Ref path = concat(source_path.get(), filename.get());
      Ref data = read_file(self, path.get());
      cells.clear();
      pending.clear();
      Stop stop = read_tokens(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get())),
                              static_cast<size_t>(PyBytes_GET_SIZE(data.get())), wt, tt, cells,
                              pending);
      if (stop.kind != Stop::kNone) throw raise_stop(stop);
      resolve_pending(pending, words, tags, cells);
      data.reset();
      Ref out = concat(npy_folder.get(), filename.get());
      save_array(self, out.get(), cells);
    }

    // Both dictionaries are inverted before either file is replaced.
    Ref inv_w = invert_checked(dic_w.get());
    Ref inv_t = invert_checked(dic_t.get());
    dump_atomically(self, corpus_path(workspace, corpus_name, names::words_pickle).get(),
                    inv_w.get());
    dump_atomically(self, corpus_path(workspace, corpus_name, names::tags_pickle).get(),
                    inv_t.get());
    Py_RETURN_NONE;
  });
}

// get_files: a lazy generator over os.listdir of a folder.

struct FilesGen {
  PyObject_HEAD
  PyObject* module;  // for looking up os when first advanced
  PyObject* folder;
  PyObject* iter;    // iterator over the listing, once started
  int state;         // 0 not started, 1 running, 2 finished
};

PyTypeObject* files_gen_type = nullptr;

int files_gen_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<FilesGen*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->module);
  Py_VISIT(g->folder);
  Py_VISIT(g->iter);
  return 0;
}

int files_gen_clear(PyObject* self) {
  auto* g = reinterpret_cast<FilesGen*>(self);
  Py_CLEAR(g->module);
  Py_CLEAR(g->folder);
  Py_CLEAR(g->iter);
  return 0;
}

void files_gen_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  files_gen_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void files_gen_finish(FilesGen* g) {
  g->state = 2;
  Py_CLEAR(g->iter);
  Py_CLEAR(g->folder);
  Py_CLEAR(g->module);
}

PyObject* files_gen_next(PyObject* self) {
  auto* g = reinterpret_cast<FilesGen*>(self);
  if (g->state == 2) return nullptr;
  if (g->state == 0) {
    g->state = 1;
    PyObject* listing = guarded([&]() -> PyObject* {
      Ref os = global(g->module, names::os);
      return call_method(os.get(), names::listdir, g->folder).release();
    });
    if (listing == nullptr) {
      files_gen_finish(g);
      return nullptr;
    }
    g->iter = PyObject_GetIter(listing);
    Py_DECREF(listing);
    if (g->iter == nullptr) {
      files_gen_finish(g);
      return nullptr;
    }
  }
  PyObject* item = PyIter_Next(g->iter);
  if (item == nullptr) files_gen_finish(g);
  return item;
}

PyObject* files_gen_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<FilesGen*>(self);
  if (g->state == 0 && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* item = files_gen_next(self);
  if (item == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return item;
}

PyObject* files_gen_throw(PyObject* self, PyObject* args) {
  PyObject *type, *value = nullptr, *tb = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) return nullptr;
  files_gen_finish(reinterpret_cast<FilesGen*>(self));
  if (PyExceptionInstance_Check(type)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
  } else if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, value ? value : Py_None);
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must be classes or instances deriving from BaseException");
  }
  return nullptr;
}

PyObject* files_gen_close(PyObject* self, PyObject*) {
  files_gen_finish(reinterpret_cast<FilesGen*>(self));
  Py_RETURN_NONE;
}

PyMethodDef files_gen_methods[] = {
    {"send", files_gen_send, METH_O, "send(arg) -> send 'arg' into the generator."},
    {"throw", files_gen_throw, METH_VARARGS, "throw(typ[,val[,tb]]) -> raise exception in the generator."},
    {"close", files_gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside the generator."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot files_gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(files_gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(files_gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(files_gen_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(files_gen_next)},
    {Py_tp_methods, files_gen_methods},
    {0, nullptr}};

PyType_Spec files_gen_spec = {
    "lumora.lm_build.generator",  // name
    sizeof(FilesGen),              // basicsize
    0,                             // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // flags
    files_gen_slots,               // slots
};

PyObject* get_files(PyObject* self, PyObject* source_folder) {
  if (source_folder != Py_None && Py_TYPE(source_folder) != &PyUnicode_Type) {
    err::incorrect_type("source_folder", "str", source_folder);
    return nullptr;
  }
  auto* g = PyObject_GC_New(FilesGen, files_gen_type);
  if (g == nullptr) return nullptr;
  Py_INCREF(self);
  g->module = self;
  Py_INCREF(source_folder);
  g->folder = source_folder;
  g->iter = nullptr;
  g->state = 0;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
  return reinterpret_cast<PyObject*>(g);
}

PyMethodDef get_files_def = {"get_files", get_files, METH_O,
                             "Lists a folder lazily: yields every name os.listdir gives for it."};
PyMethodDef make_indexes_def = {
    "make_indexes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_indexes)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_indexes(workspace, corpus_name, language)\n--\n\n"
    "Builds the token arrays of a prepared corpus and turns its dictionaries to id-to-word form."};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_indexes_sig.intern()) throw PyErrorSet{};
    if (files_gen_type == nullptr) {
      PyObject* tp = PyType_FromSpec(&files_gen_spec);
      if (tp == nullptr) throw PyErrorSet{};
      files_gen_type = reinterpret_cast<PyTypeObject*>(tp);
      // Generators of this module count as generators for isinstance checks.
      Ref abc = ok(PyImport_ImportModule("collections.abc"));
      Ref gen = ok(PyObject_GetAttrString(abc.get(), "Generator"));
      Ref reg = ok(PyObject_CallMethod(gen.get(), "register", "O", tp));
    }
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    bind_function(m, &get_files_def);
    bind_function(m, &make_indexes_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_build,
              "Corpus index builder: token files to token arrays, dictionaries to id-to-word form.",
              lumora::state, lumora::exec_module)
