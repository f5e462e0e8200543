// lm_tagfreq: the word+tag frequency list of an indexed corpus, ranked by frequency, optionally
// merging word forms that differ only in case.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/idtext.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/rank.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/kernels/wordtags.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace lumora {
namespace {

// The counting kernel lives in kernels/wordtags.hpp, shared with the engine.
using kernels::MergedCounts;
using kernels::PairCount;
using kernels::PairCounter;

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_tagfreq"};

// (rank, word, tag, frequency, percent)
Ref make_row(int32_t rank, PyObject* word, PyObject* tag, int64_t freq, int32_t tokens) {
  float p = percent_single(static_cast<double>(freq), static_cast<double>(tokens));
  Ref r = ok(PyLong_FromLong(rank));
  Ref f = ok(PyLong_FromLongLong(freq));
  Ref pf = single_float(p);
  return result_tuple(r.get(), word, tag, f.get(), pf.get());
}

// Entry n of a per-entry cache that grows to cover whatever entry it is asked about; new
// entries are value-initialised (an empty Ref, or 0 for a number, which stands for "not yet").
template <class T>
T& slot(std::vector<T>& v, uint32_t n) {
  if (n >= v.size()) v.resize(static_cast<size_t>(n) + 1);
  return v[n];
}

// Appends the rows (rank, word, tag, frequency, percent) in ranked order.
void emit_rows(PyObject* out, const std::vector<PyObject*>& words,
               const std::vector<PyObject*>& tags, const std::vector<int64_t>& counts,
               int32_t tokens) {
  int32_t i = 0;
  for (size_t k = 0; k < words.size(); ++k) {
    if (k + 8 < words.size()) __builtin_prefetch(words[k + 8]);
    i = add_int32(i, 1);
    int32_t v = add_int32(0, counts[k]);
    Ref row = make_row(i, words[k], tags[k], v, tokens);
    check(PyList_Append(out, row.get()));
  }
}

// Counts the pairs of every token array in the folder, one array in memory at a time; returns
// the number of tokens, which must fit a signed 32-bit integer.
int32_t count_wt(PyObject* module, PyObject* npy_folder, PairCounter& counter) {
  Ref files = listdir(module, npy_folder);
  int32_t tokens = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
    Ref name = Ref::borrow(entry_name(files.get(), i));
    Ref path = concat(npy_folder, name.get());
    TokenArray arr;
    arr.load(module, path.get(), 2);
    tokens = add_int32(tokens, arr.rows());
    counter.add(arr.base(), arr.rows(), arr.row_stride(), arr.col_stride(),
                static_cast<uint32_t>(i));
  }
  return tokens;
}

Signature make_wtfreq_sig{
    "make_wtfreq", 4, {"workspace", "corpus_name", "language", "lowercase"}, 0b0111};

PyObject* make_wtfreq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    parse_args(make_wtfreq_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    int lowercase = PyObject_IsTrue(a[3]);
    check(lowercase);

    PairCounter counter;
    int32_t tokens = count_wt(self, corpus_path(workspace, corpus_name, names::npy_dir).get(),
                              counter);
    Ref dict_words = load_dict(self, corpus_path(workspace, corpus_name, names::words_pickle).get());
    Ref dict_tags = load_dict(self, corpus_path(workspace, corpus_name, names::tags_pickle).get());

    std::vector<PairCount> pairs = counter.ranked();
    std::vector<int64_t> word_ids(pairs.size()), tag_ids(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k) {
      word_ids[k] = pairs[k].word;
      tag_ids[k] = pairs[k].tag;
    }
    IdDict words(dict_words.get(), pairs.size()), tags(dict_tags.get(), pairs.size());
    std::vector<int64_t> word_found = words.find_all(word_ids);
    std::vector<int64_t> tag_found = tags.find_all(tag_ids);
    Ref wtfreq = ok(PyList_New(0));

    if (!lowercase) {
      // Look-ups in ranked order, word before tag (either may fail), then the rows.
      std::vector<PyObject*> row_word(pairs.size()), row_tag(pairs.size());
      for (size_t k = 0; k < pairs.size(); ++k) {
        row_word[k] = words.value(words.index_of(word_ids, word_found, k));
        row_tag[k] = tags.value(tags.index_of(tag_ids, tag_found, k));
      }
      std::vector<int64_t> counts(pairs.size());
      for (size_t k = 0; k < pairs.size(); ++k) counts[k] = pairs[k].count;
      pairs.clear();
      pairs.shrink_to_fit();
      emit_rows(wtfreq.get(), row_word, row_tag, counts, tokens);
      return wtfreq.release();
    }

    // Merging case variants: each (lower-cased word, tag) key collects the counts of its pairs,
    // walked in ranked order; the key keeps the objects of the first pair that made it. Each
    // word is lower-cased once and each distinct form and tag numbered once.
    std::vector<Ref> lowered(words.bound());        // by word number
    std::vector<uint32_t> word_cls(words.bound());  // by word number: 1 + number of the form
    std::vector<uint32_t> tag_cls;                  // by tag number: 1 + number of the tag
    KeyClasses word_classes(words.bound()), tag_classes;
    Lowerer lower;
    if (words.native()) {
      // Exact str words are lower-cased and numbered up front, in the dictionary's own order,
      // which is the order they lie in memory: str.lower and comparing strs have no effects
      // whose order could show. Failing look-ups, and lower-casing or comparing any other
      // object, happen below in ranked order.
      for (int64_t n : word_found)
        if (n >= 0) word_cls[static_cast<size_t>(n)] = 1;  // wanted
      for (uint32_t n = 0; n < words.bound(); ++n) {
        if (word_cls[n] == 0) continue;
        PyObject* w = words.value(n);
        if (PyUnicode_CheckExact(w)) lowered[n] = lower(w);
      }
      for (uint32_t n = 0; n < words.bound(); ++n) {
        if (n + 8 < words.bound() && lowered[n + 8]) word_classes.prefetch(lowered[n + 8].get());
        word_cls[n] = lowered[n] ? word_classes.of(lowered[n].get()) + 1 : 0;
      }
    }
    MergedCounts merged;
    std::vector<PyObject*> key_word, key_tag;  // by merged key: borrowed from the tables above
    for (size_t k = 0; k < pairs.size(); ++k) {
      uint32_t wn = words.index_of(word_ids, word_found, k);
      Ref& low = slot(lowered, wn);
      if (!low) low = lower(words.value(wn));
      uint32_t tn = tags.index_of(tag_ids, tag_found, k);
      uint32_t& wc = slot(word_cls, wn);
      if (wc == 0) wc = word_classes.of(low.get()) + 1;
      uint32_t& tc = slot(tag_cls, tn);
      if (tc == 0) tc = tag_classes.of(tags.value(tn)) + 1;
      if (merged.add(wc, tc, pairs[k].count)) {
        key_word.push_back(low.get());
        key_tag.push_back(tags.value(tn));
      }
    }
    pairs.clear();
    pairs.shrink_to_fit();
    std::vector<uint32_t> ranked = merged.ranked();
    std::vector<PyObject*> row_word(ranked.size()), row_tag(ranked.size());
    std::vector<int64_t> counts(ranked.size());
    for (size_t k = 0; k < ranked.size(); ++k) {
      row_word[k] = key_word[ranked[k]];
      row_tag[k] = key_tag[ranked[k]];
      counts[k] = merged.total(ranked[k]);
    }
    emit_rows(wtfreq.get(), row_word, row_tag, counts, tokens);
    return wtfreq.release();
  });
}

PyMethodDef make_wtfreq_def = {
    "make_wtfreq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_wtfreq)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_wtfreq(workspace, corpus_name, language, lowercase)\n--\n\n"
    "Ranked list of (rank, word, tag, frequency, percent) for every word+tag pair of a corpus."};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_wtfreq_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    bind_function(m, &make_wtfreq_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_tagfreq,
              "Word+tag frequency list: every (word, tag) pair of a corpus, ranked by frequency.",
              lumora::state, lumora::exec_module)
