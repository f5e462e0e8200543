// lm_docfreq: every word of an indexed corpus with its range (the number of texts it occurs in)
// and that number as a share of all texts, ranked; optionally merging case variants.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/idtext.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/rank.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/kernels/ranges.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {
namespace {

// The counting kernel lives in kernels/ranges.hpp, shared with the engine.
using kernels::RangeCounter;
using kernels::Word;
using kernels::count_group_ranges;
using kernels::stable_rank;

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_docfreq"};

Name n_re{"re"}, n_punct{"^\\W+$"};

// punct.match(w) is not None, for punct = re.compile("^\W+$"). An exact str with an ASCII letter,
// digit or underscore holds a word character, so the pattern cannot match it; one made only of
// other ASCII characters is all non-word characters, so it matches unless it is empty. Any other
// word is put to the pattern itself.
bool is_punct(PyObject* punct, PyObject* w) {
  if (PyUnicode_CheckExact(w)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(w) < 0) throw PyErrorSet{};
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(w);
    int kind = PyUnicode_KIND(w);
    const void* data = PyUnicode_DATA(w);
    bool ascii_only = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (c >= 0x80) {
        ascii_only = false;
        continue;
      }
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')
        return false;
    }
    if (ascii_only) return n > 0;
  }
  return matches(punct, w);
}

// (rank, word, range, percent)
Ref make_row(int32_t rank, PyObject* word, uint32_t range, Py_ssize_t total_files) {
  float p = percent_single(static_cast<double>(range), static_cast<double>(total_files));
  Ref r = ok(PyLong_FromLong(rank));
  Ref v = ok(PyLong_FromUnsignedLong(range));
  Ref pf = single_float(p);
  return result_tuple(r.get(), word, v.get(), pf.get());
}

// Appends the rows (rank, word, range, percent) for words kept in ranked order.
void emit_rows(PyObject* out, const std::vector<PyObject*>& words,
               const std::vector<uint32_t>& ranges, Py_ssize_t total_files) {
  int32_t i = 0;
  for (size_t k = 0; k < words.size(); ++k) {
    if (k + 8 < words.size()) __builtin_prefetch(words[k + 8]);
    i = add_int32(i, 1);
    Ref row = make_row(i, words[k], ranges[k], total_files);
    check(PyList_Append(out, row.get()));
  }
}

// Counts the texts of every word id of the folder, one token array in memory at a time; returns
// the number of entries of the folder. With `present`, also records each text's distinct ids
// (as entry numbers, text after text, `bounds` marking where each text's run ends).
Py_ssize_t count_words(PyObject* module, PyObject* npy_folder, RangeCounter& counter,
                       std::vector<uint32_t>* present, std::vector<size_t>* bounds) {
  Ref os = global(module, names::os);
  Ref listing = call_method(os.get(), names::listdir, npy_folder);
  Py_ssize_t total_files = PyObject_Size(listing.get());
  if (total_files < 0) throw PyErrorSet{};
  Ref it = ok(PyObject_GetIter(listing.get()));
  uint32_t file = 0;
  for (;;) {
    PyObject* next = PyIter_Next(it.get());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      break;
    }
    Ref name = Ref::steal(next);
    Ref path = concat(npy_folder, name.get());
    TokenArray arr;
    arr.load(module, path.get(), 1);
    counter.add(arr.base(), arr.rows(), arr.row_stride(), file, present);
    if (bounds != nullptr) bounds->push_back(present->size());
    ++file;
  }
  return total_files;
}

Signature make_wfreqinfiles_sig{
    "make_wfreqinfiles", 4, {"workspace", "corpus_name", "language", "lowercase"}, 0b0111};

PyObject* make_wfreqinfiles(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    parse_args(make_wfreqinfiles_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    int lowercase = PyObject_IsTrue(a[3]);
    check(lowercase);

    Ref re = global(self, n_re);
    Ref punct = call_method(re.get(), names::compile, n_punct.get());
    Ref dict_words = load_dict(self, corpus_path(workspace, corpus_name, names::words_pickle).get());
    Ref npy_folder = corpus_path(workspace, corpus_name, names::npy_dir);
    Ref wfreqinfiles = ok(PyList_New(0));
    RangeCounter counter;

    if (!lowercase) {
      Py_ssize_t total_files = count_words(self, npy_folder.get(), counter, nullptr, nullptr);
      const std::vector<Word>& words = counter.words();
      const std::vector<uint32_t>& range = counter.ranges();
      std::vector<uint32_t> order = counter.first_appearance();
      stable_rank(order, range);
      std::vector<int64_t> ids(order.size());
      for (size_t k = 0; k < order.size(); ++k) ids[k] = words[order[k]].id;
      IdDict dict(dict_words.get(), words.size());
      std::vector<int64_t> found = dict.find_all(ids);
      // Look-ups and the punctuation test in ranked order (either may fail), then the rows.
      std::vector<PyObject*> kept;
      std::vector<uint32_t> kept_range;
      for (size_t k = 0; k < ids.size(); ++k) {
        if (k + 8 < ids.size() && found[k + 8] >= 0)
          __builtin_prefetch(dict.value(static_cast<uint32_t>(found[k + 8])));
        PyObject* w = dict.value(dict.index_of(ids, found, k));
        if (is_punct(punct.get(), w)) continue;
        kept.push_back(w);
        kept_range.push_back(range[order[k]]);
      }
      emit_rows(wfreqinfiles.get(), kept, kept_range, total_files);
      return wfreqinfiles.release();
    }

    // Merging case variants: a text counts once for a lower-cased form when any of its variants
    // occurs in it. Forms are numbered in order of first appearance: by the text in which one of
    // their variants first occurs, then by the smallest id among the variants present there.
    std::vector<uint32_t> present;
    std::vector<size_t> bounds;
    Py_ssize_t total_files = count_words(self, npy_folder.get(), counter, &present, &bounds);
    const std::vector<Word>& words = counter.words();
    std::vector<uint32_t> order = counter.first_appearance();
    std::vector<int64_t> ids(order.size());
    for (size_t k = 0; k < order.size(); ++k) ids[k] = words[order[k]].id;
    IdDict dict(dict_words.get(), words.size());
    std::vector<int64_t> found = dict.find_all(ids);
    Lowerer lower;
    KeyClasses forms(dict.bound());

    // Exact str words are lower-cased and their forms numbered up front, in the dictionary's own
    // order, the order they lie in memory: str.lower and comparing strs have no effects whose
    // order could show. Failing look-ups, and lower-casing or comparing any other object, happen
    // below in the order of first appearance.
    std::vector<Ref> lowered(dict.bound());       // by dictionary number
    std::vector<uint32_t> form_cls(dict.bound());  // by dictionary number: 1 + form class
    if (dict.native()) {
      for (int64_t n : found)
        if (n >= 0) form_cls[static_cast<size_t>(n)] = 1;  // wanted
      for (uint32_t n = 0; n < dict.bound(); ++n) {
        if (form_cls[n] == 0) continue;
        PyObject* w = dict.value(n);
        if (PyUnicode_CheckExact(w)) lowered[n] = lower(w);
      }
      for (uint32_t n = 0; n < dict.bound(); ++n) {
        if (n + 8 < dict.bound() && lowered[n + 8]) forms.prefetch(lowered[n + 8].get());
        form_cls[n] = lowered[n] ? forms.of(lowered[n].get()) + 1 : 0;
      }
    }
    // Forms numbered in order of first appearance, each with the lower-cased word that first
    // stood for it.
    std::vector<uint32_t> form_of(words.size());  // by entry
    std::vector<uint32_t> number_of_cls;          // by form class: 1 + form number
    std::vector<PyObject*> form_word;             // by form number: borrowed from `lowered`
    for (size_t k = 0; k < ids.size(); ++k) {
      uint32_t n = dict.index_of(ids, found, k);
      if (n >= lowered.size()) {
        lowered.resize(static_cast<size_t>(n) + 1);
        form_cls.resize(static_cast<size_t>(n) + 1);
      }
      if (!lowered[n]) lowered[n] = lower(dict.value(n));
      if (form_cls[n] == 0) form_cls[n] = forms.of(lowered[n].get()) + 1;
      uint32_t cls = form_cls[n] - 1;
      if (cls >= number_of_cls.size()) number_of_cls.resize(static_cast<size_t>(cls) + 1);
      if (number_of_cls[cls] == 0) {
        form_word.push_back(lowered[n].get());
        number_of_cls[cls] = static_cast<uint32_t>(form_word.size());
      }
      form_of[order[k]] = number_of_cls[cls] - 1;
    }
    std::vector<uint32_t> form_range(form_word.size(), 0), seen_in(form_word.size(), 0);
    count_group_ranges(present, bounds, form_of, 0, seen_in, form_range);
    present.clear();
    present.shrink_to_fit();
    std::vector<uint32_t> ranked(form_word.size());
    for (size_t k = 0; k < ranked.size(); ++k) ranked[k] = static_cast<uint32_t>(k);
    stable_rank(ranked, form_range);
    std::vector<PyObject*> kept;
    std::vector<uint32_t> kept_range;
    for (size_t k = 0; k < ranked.size(); ++k) {
      if (k + 8 < ranked.size()) __builtin_prefetch(form_word[ranked[k + 8]]);
      PyObject* w = form_word[ranked[k]];
      if (is_punct(punct.get(), w)) continue;
      kept.push_back(w);
      kept_range.push_back(form_range[ranked[k]]);
    }
    emit_rows(wfreqinfiles.get(), kept, kept_range, total_files);
    return wfreqinfiles.release();
  });
}

PyMethodDef make_wfreqinfiles_def = {
    "make_wfreqinfiles",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_wfreqinfiles)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_wfreqinfiles(workspace, corpus_name, language, lowercase)\n--\n\n"
    "Ranked list of (rank, word, range, percent): the number of texts each word occurs in."};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_wfreqinfiles_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    bind_import(m, "re", "re");
    bind_function(m, &make_wfreqinfiles_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_docfreq,
              "Word frequency across texts: each word's range over the texts of a corpus, ranked.",
              lumora::state, lumora::exec_module)
