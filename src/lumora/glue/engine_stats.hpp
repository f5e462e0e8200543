// The engine's statistics: per-word dispersion over every token array of a corpus (counted on a
// pool of threads with the interpreter lock released), keyness scores of two frequency columns,
// and the match of one string column's rows in another's (to line up a study corpus's words with
// a reference's). Results leave as column buffers (bytearrays the Python side views with NumPy).
//
// The texts are read and their ids mapped to items (groups of the Lexicon, lumora/_lexicon.py) by
// the readers of engine_counts.hpp; the measures are those of kernels/dispersion.hpp and
// kernels/keyness_scores.hpp. An id the dictionary lacks, or a file that is not a plain token
// array, raises lumora._lexicon.Unsupported.
#pragma once
#include <Python.h>

#include "lumora/common/ref.hpp"
#include "lumora/engine/pool.hpp"
#include "lumora/glue/engine_counts.hpp"
#include "lumora/glue/nogil.hpp"
#include "lumora/kernels/dispersion.hpp"
#include "lumora/kernels/keyness_scores.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumora {
namespace stats {

using counts::ArrayArg;
using counts::Refusal;

// Runs a short piece of plain work without the interpreter lock; what it throws (out of memory)
// is thrown again once the lock is held.
template <class Work>
void without_lock(Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

struct DispersionResult {
  std::vector<uint32_t> first_seen;  // items in order of first appearance
  std::vector<int64_t> freq, range;
  std::vector<double> dp, dp_norm, juilland_d;
  int64_t parts = 0;   // texts with tokens
  int64_t tokens = 0;
};

// Dispersion of every item over the texts: each text's records are counted on the pool, then
// the texts with tokens are laid end to end in listing order and measured.
inline void item_dispersion(const std::vector<std::string>& paths, unsigned threads,
                            const kernels::ItemOfId& item_of, size_t items,
                            engine::Cancel& cancel, Refusal& refusal, DispersionResult& out) {
  const size_t workers = std::max(1u, threads);
  std::vector<std::vector<kernels::PartCount>> records(paths.size());
  std::vector<int64_t> sizes(paths.size(), 0);
  std::vector<std::vector<uint32_t>> scratch(workers);
  counts::count_texts(paths, threads, 1, cancel, refusal,
                      [&](size_t i, unsigned w, const counts::TextRows& t) {
                        if (scratch[w].size() != items) scratch[w].assign(items, 0);
                        sizes[i] = t.rows;
                        if (t.rows == 0) return;
                        if (!kernels::count_text(t.base, static_cast<size_t>(t.rows), t.rs,
                                                 item_of, scratch[w], records[i])) {
                          refusal.refuse(i, "a word id of " + paths[i] + " is unknown");
                          cancel.raise();
                        }
                      });
  if (cancel.is_raised()) return;
  scratch.clear();

  size_t total_records = 0;
  for (const auto& r : records) total_records += r.size();
  std::vector<kernels::PartCount> flat;
  flat.reserve(total_records);
  std::vector<size_t> part_end;
  std::vector<int64_t> part_tokens;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (sizes[i] == 0) continue;  // a text without tokens is no part
    flat.insert(flat.end(), records[i].begin(), records[i].end());
    std::vector<kernels::PartCount>().swap(records[i]);
    part_end.push_back(flat.size());
    part_tokens.push_back(sizes[i]);
    out.tokens += sizes[i];
  }
  out.parts = static_cast<int64_t>(part_tokens.size());
  out.freq.resize(items);
  out.range.resize(items);
  out.dp.resize(items);
  out.dp_norm.resize(items);
  out.juilland_d.resize(items);
  kernels::DispersionColumns cols{out.freq.data(), out.range.data(), out.dp.data(),
                                  out.dp_norm.data(), out.juilland_d.data()};
  kernels::dispersion_measures(flat.data(), part_end.data(), part_tokens.data(),
                               part_tokens.size(), items, cols, &out.first_seen);
}

// word_dispersion(files, word_ids, group_of, groups, threads=None)
//   -> (first_seen, freq, range, dp, dp_norm, juilland_d, parts, tokens); first_seen (uint32)
//      lists the groups that occur in order of first appearance, the other columns are indexed
//      by group number (0 .. groups - 1).
inline PyObject* engine_word_dispersion(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files", "word_ids", "group_of", "groups", "threads", nullptr};
    PyObject *files, *ids_obj, *group_obj, *threads_obj = nullptr;
    Py_ssize_t groups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOn|O:word_dispersion",
                                     const_cast<char**>(kw), &files, &ids_obj, &group_obj,
                                     &groups, &threads_obj))
      return nullptr;
    std::vector<std::string> paths = counts::paths_of(files);
    ArrayArg<int64_t> ids;
    ids.acquire(ids_obj, "lq", "word_ids");
    ArrayArg<int32_t> group_of;
    group_of.acquire(group_obj, "il", "group_of");
    if (group_of.size() != ids.size()) {
      PyErr_SetString(PyExc_ValueError, "group_of: one group per dictionary entry expected");
      throw PyErrorSet{};
    }
    if (groups < 0 || groups > static_cast<Py_ssize_t>(UINT32_MAX)) {
      PyErr_SetString(PyExc_ValueError, "groups out of range");
      throw PyErrorSet{};
    }
    for (size_t d = 0; d < group_of.size(); ++d)
      if (group_of.data()[d] < 0 || group_of.data()[d] >= groups) {
        PyErr_SetString(PyExc_ValueError, "group_of: a group number out of range");
        throw PyErrorSet{};
      }
    unsigned threads = counts::threads_of(threads_obj);
    Refusal refusal;
    DispersionResult out;
    run_released([&](engine::Cancel& cancel) {
      kernels::ItemOfId item_of(ids.data(), group_of.data(), ids.size());
      item_dispersion(paths, threads, item_of, static_cast<size_t>(groups), cancel, refusal,
                      out);
    });
    counts::settle(refusal);
    Ref first = counts::bytes_of(out.first_seen);
    Ref freq = counts::bytes_of(out.freq);
    Ref range = counts::bytes_of(out.range);
    Ref dp = counts::bytes_of(out.dp);
    Ref dp_norm = counts::bytes_of(out.dp_norm);
    Ref jd = counts::bytes_of(out.juilland_d);
    return Py_BuildValue("(OOOOOOLL)", first.get(), freq.get(), range.get(), dp.get(),
                         dp_norm.get(), jd.get(), static_cast<long long>(out.parts),
                         static_cast<long long>(out.tokens));
  });
}

// keyness_scores(freq, ref_freq, tokens, ref_tokens)
//   -> (ll, chi2, log_ratio, pct_diff, bic, p), float64 columns of one value per word
inline PyObject* engine_keyness_scores(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"freq", "ref_freq", "tokens", "ref_tokens", nullptr};
    PyObject *a_obj, *b_obj;
    long long c = 0, d = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOLL:keyness_scores",
                                     const_cast<char**>(kw), &a_obj, &b_obj, &c, &d))
      return nullptr;
    ArrayArg<int64_t> a, b;
    a.acquire(a_obj, "lq", "freq");
    b.acquire(b_obj, "lq", "ref_freq");
    if (a.size() != b.size()) {
      PyErr_SetString(PyExc_ValueError, "freq and ref_freq must have the same length");
      throw PyErrorSet{};
    }
    if (c < 0 || d < 0) {
      PyErr_SetString(PyExc_ValueError, "corpus sizes must not be negative");
      throw PyErrorSet{};
    }
    const size_t n = a.size();
    std::vector<double> ll(n), chi2(n), log_ratio(n), pct_diff(n), bic(n), p(n);
    kernels::KeynessColumns cols{ll.data(),       chi2.data(), log_ratio.data(),
                                 pct_diff.data(), bic.data(),  p.data()};
    without_lock([&] {
      kernels::keyness_scores(a.data(), b.data(), n, static_cast<int64_t>(c),
                              static_cast<int64_t>(d), cols);
    });
    Ref r_ll = counts::bytes_of(ll), r_chi2 = counts::bytes_of(chi2);
    Ref r_lr = counts::bytes_of(log_ratio), r_pd = counts::bytes_of(pct_diff);
    Ref r_bic = counts::bytes_of(bic), r_p = counts::bytes_of(p);
    return PyTuple_Pack(6, r_ll.get(), r_chi2.get(), r_lr.get(), r_pd.get(), r_bic.get(),
                        r_p.get());
  });
}

// match_strings(strings, others) -> int64 column: for each string of `others` (an
// (offsets, data) pair) its row in `strings`, or -1; a string that repeats in `strings` matches
// its first row.
inline PyObject* engine_match_strings(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO:match_strings", &a_obj, &b_obj)) return nullptr;
    counts::StringsArg a, b;
    a.acquire(a_obj, "strings");
    b.acquire(b_obj, "others");
    std::vector<int64_t> at(b.strings.n);
    without_lock([&] {
      auto view = [](const counts::Strings& s, size_t i) {
        auto from = static_cast<size_t>(s.offsets[i]);
        auto to = static_cast<size_t>(s.offsets[i + 1]);
        return std::string_view(reinterpret_cast<const char*>(s.data) + from, to - from);
      };
      std::unordered_map<std::string_view, int64_t> row;
      row.reserve(a.strings.n);
      for (size_t i = 0; i < a.strings.n; ++i)
        row.emplace(view(a.strings, i), static_cast<int64_t>(i));
      for (size_t j = 0; j < b.strings.n; ++j) {
        auto hit = row.find(view(b.strings, j));
        at[j] = hit == row.end() ? -1 : hit->second;
      }
    });
    return counts::bytes_of(at).release();
  });
}

}  // namespace stats

inline int engine_stats_exec(PyObject*) { return 0; }

}  // namespace lumora

#define LUMORA_ENGINE_STATS_METHODS                                                          \
  {"word_dispersion",                                                                        \
   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                           \
       lumora::stats::engine_word_dispersion)),                                              \
   METH_VARARGS | METH_KEYWORDS,                                                             \
   "word_dispersion(files, word_ids, group_of, groups, threads=None)\n--\n\n"                \
   "Range, DP, DP normalised and Juilland's D of every group over the token arrays."},      \
      {"keyness_scores",                                                                     \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                       \
           lumora::stats::engine_keyness_scores)),                                           \
       METH_VARARGS | METH_KEYWORDS,                                                         \
       "keyness_scores(freq, ref_freq, tokens, ref_tokens)\n--\n\n"                          \
       "Log-likelihood, chi-square, Log Ratio, %DIFF, BIC and p of each word."},             \
      {"match_strings", lumora::stats::engine_match_strings, METH_VARARGS,                   \
       "match_strings(strings, others)\n--\n\n"                                              \
       "Row in `strings` of each string of `others`, or -1."},
