// The engine's n-grams: every n-gram (one to five words) of a corpus with frequency, range and
// range percent, counted on a pool of threads with the interpreter lock released by the kernel
// lm_sequences uses (kernels/ngrams.hpp). Texts are read on the pool first; then each thread
// counts one hash partition of the n-grams over every text, and the partitions are interleaved
// by first occurrence, so the rows come in the module's order. Results leave as column buffers:
// int64 ranks, frequencies and ranges, float32 percents, the n-grams as UTF-8 offsets and bytes
// joined from the lexicon's forms. No Python object per token or per row.
//
// The Python side (lumora/_ngrams.py) passes the token-array paths, the word ids in dictionary
// order with the group (distinct, possibly lower-cased form) of each, the groups' strings and
// shapes, and the tag pattern's ids. What the engine cannot reproduce exactly (a file that is
// not a plain token array, a counted id missing from the dictionary, a tag pattern shorter than
// the n-gram that a window passes, a frequency beyond 32 bits) raises
// lumora._lexicon.Unsupported.
#pragma once
#include <Python.h>

#include "lumora/glue/engine_counts.hpp"
#include "lumora/kernels/ngrams.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace lumora {
namespace ngram_glue {

using counts::Refusal;
using counts::TextRows;

struct NgramColumns {
  std::vector<int64_t> rank, freq, texts;
  std::vector<float> percent;
  std::vector<int64_t> offsets{0};  // one more than the rows
  std::vector<uint8_t> data;
};

// The n-gram list of the texts `paths` for n-grams of N words; shape[g] is the filter's view of
// group g's string.
template <int N>
void ngram_list(const std::vector<std::string>& paths, unsigned threads, const int64_t* word_ids,
                size_t n_words, const counts::Grouping& groups, const uint8_t* shape,
                const ngrams::TagPattern& pattern, bool ranked, engine::Cancel& cancel,
                Refusal& refusal, NgramColumns& out) {
  counts::DenseMap dense;
  if (!dense.build(word_ids, n_words)) return refusal.refuse(SIZE_MAX, "word ids repeat");
  std::vector<ngrams::TextWindows> texts(paths.size());
  std::vector<std::vector<uint32_t>> starts(std::max(1u, threads));
  counts::count_texts(
      paths, threads, pattern.active ? 2 : 1, cancel, refusal,
      [&](size_t i, unsigned w, const TextRows& t) {
        const auto rows = static_cast<size_t>(t.rows);
        bool known = true;
        auto group = [&](size_t r) -> uint32_t {
          const int64_t g = groups.of(dense.find(t.base[static_cast<std::ptrdiff_t>(r) * t.rs]));
          known = known && g >= 0;
          return static_cast<uint32_t>(g);
        };
        ngrams::TextWindows& text = texts[i];
        if (pattern.active) {
          auto tag = [&](size_t r) { return t.base[static_cast<std::ptrdiff_t>(r) * t.rs + t.cs]; };
          starts[w].clear();
          if (!ngrams::matching_windows<N>(tag, rows, pattern, starts[w])) {
            refusal.refuse(i, "a window passes every tag of a pattern shorter than the n-gram");
            cancel.raise();
            return;
          }
          text.words.resize(starts[w].size() * N);
          for (size_t j = 0; j < starts[w].size(); ++j)
            for (int k = 0; k < N; ++k) text.words[j * N + k] = group(starts[w][j] + k);
          text.windows = starts[w].size();
          text.stride = N;
        } else if (rows >= static_cast<size_t>(N)) {
          text.words.resize(rows);
          for (size_t r = 0; r < rows; ++r) text.words[r] = group(r);
          text.windows = rows + 1 - N;
        }
        if (!known) {
          refusal.refuse(i, "a counted word id is missing from the word dictionary");
          cancel.raise();
        }
      });
  if (cancel.is_raised()) return;
  uint64_t windows = 0;
  for (ngrams::TextWindows& t : texts) {
    t.window0 = windows;
    windows += t.windows;
  }
  ngrams::Partitioned<N> table(std::max(1u, threads));
  engine::parallel_for(table.parts(), table.parts(), cancel, [&](size_t p, unsigned) {
    try {
      table.count_all(static_cast<unsigned>(p), texts, nullptr,
                      [&cancel] { return cancel.is_raised(); });
    } catch (...) {
      refusal.fail(std::current_exception());
      cancel.raise();
    }
  });
  if (cancel.is_raised()) return;
  std::vector<ngrams::TextWindows>().swap(texts);
  table.finish();
  std::vector<uint32_t> freq, range;
  table.totals(&freq, &range);
  table.drop_index();
  // The rows: the n-grams the filter keeps, in order of first occurrence or, when `ranked`,
  // by frequency, largest first (ties in order of first occurrence).
  std::vector<uint32_t> kept;
  kept.reserve(table.size());
  for (size_t e = 0; e < table.size(); ++e) {
    if (freq[e] > INT32_MAX)
      return refusal.refuse(SIZE_MAX, "a frequency beyond a signed 32-bit count");
    const uint32_t* w = table.words(e);
    ngrams::Shape shapes[N];
    for (int k = 0; k < N; ++k) shapes[k] = static_cast<ngrams::Shape>(shape[w[k]]);
    if (!ngrams::drops_ngram(shapes, N)) kept.push_back(static_cast<uint32_t>(e));
  }
  if (ranked) rank_by_count(kept, [&freq](uint32_t e) { return freq[e]; });
  const size_t rows = kept.size();
  const auto files = static_cast<double>(paths.size());
  const int64_t* offsets = groups.strings.offsets;
  out.rank.resize(rows);
  out.freq.resize(rows);
  out.texts.resize(rows);
  out.percent.resize(rows);
  out.offsets.resize(rows + 1);
  int64_t at = 0;
  for (size_t row = 0; row < rows; ++row) {
    const uint32_t e = kept[row];
    out.rank[row] = static_cast<int64_t>(row + 1);
    out.freq[row] = freq[e];
    out.texts[row] = range[e];
    out.percent[row] = counts::percent_of(static_cast<double>(range[e]), files);
    const uint32_t* w = table.words(e);
    at += N - 1;
    for (int k = 0; k < N; ++k) at += offsets[w[k] + 1] - offsets[w[k]];
    out.offsets[row + 1] = at;
  }
  out.data.resize(static_cast<size_t>(at));
  uint8_t* to = out.data.data();
  for (size_t row = 0; row < rows; ++row) {
    const uint32_t* w = table.words(kept[row]);
    for (int k = 0; k < N; ++k) {
      if (k > 0) *to++ = ' ';
      const int64_t a = offsets[w[k]], b = offsets[w[k] + 1];
      std::memcpy(to, groups.strings.data + a, static_cast<size_t>(b - a));
      to += b - a;
    }
  }
}

// count_ngrams(files, size, word_ids, group_of, strings, shapes, pattern, threads=None,
//              ranked=False)
//   -> (rank, (offsets, data) of the n-grams, freq, texts, percent), in order of first occurrence
//      or, with ranked, by frequency (largest first, ties in order of first occurrence)
inline PyObject* engine_count_ngrams(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",  "size",    "word_ids", "group_of", "strings",
                               "shapes", "pattern", "threads",  "ranked", nullptr};
    PyObject *files, *ids_obj, *group_obj, *strings_obj, *shapes_obj, *pattern_obj;
    PyObject* threads_obj = nullptr;
    int size = 0, ranked = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiOOOOO|Op:count_ngrams",
                                     const_cast<char**>(kw), &files, &size, &ids_obj, &group_obj,
                                     &strings_obj, &shapes_obj, &pattern_obj, &threads_obj, &ranked))
      return nullptr;
    if (size < 1 || size > 5) {
      PyErr_SetString(PyExc_ValueError, "size must be from 1 to 5");
      return nullptr;
    }
    std::vector<std::string> paths = counts::paths_of(files);
    counts::ArrayArg<int64_t> ids;
    ids.acquire(ids_obj, "lq", "word_ids");
    counts::GroupingArg groups;
    groups.acquire(group_obj, strings_obj, nullptr, ids.size(), "words");
    counts::ArrayArg<uint8_t> shapes;
    shapes.acquire(shapes_obj, "B", "shapes");
    if (shapes.size() != groups.grouping.strings.n) {
      PyErr_SetString(PyExc_ValueError, "shapes: one shape per group expected");
      return nullptr;
    }
    for (size_t g = 0; g < shapes.size(); ++g)
      if (shapes.data()[g] > ngrams::kEmpty) {
        PyErr_SetString(PyExc_ValueError, "shapes: 0 (word), 1 (punctuation) or 2 (empty)");
        return nullptr;
      }
    ngrams::TagPattern pattern;
    counts::ArrayArg<int64_t> tags;
    if (pattern_obj != Py_None) {
      tags.acquire(pattern_obj, "lq", "pattern");
      pattern.active = true;
      pattern.ids.assign(tags.data(), tags.data() + tags.size());
    }
    unsigned threads = counts::threads_of(threads_obj);
    Refusal refusal;
    NgramColumns out;
    run_released([&](engine::Cancel& cancel) {
      auto run = [&](auto n) {
        ngram_list<decltype(n)::value>(paths, threads, ids.data(), ids.size(), groups.grouping,
                                       shapes.data(), pattern, ranked != 0, cancel, refusal, out);
      };
      switch (size) {
        case 1: run(std::integral_constant<int, 1>{}); break;
        case 2: run(std::integral_constant<int, 2>{}); break;
        case 3: run(std::integral_constant<int, 3>{}); break;
        case 4: run(std::integral_constant<int, 4>{}); break;
        default: run(std::integral_constant<int, 5>{}); break;
      }
    });
    counts::settle(refusal);
    return counts::sequence_columns(out);
  });
}

}  // namespace ngram_glue

inline int engine_ngrams_exec(PyObject*) { return 0; }

}  // namespace lumora

#define LUMORA_ENGINE_NGRAM_METHODS                                                        \
  {"count_ngrams",                                                                         \
   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                         \
       lumora::ngram_glue::engine_count_ngrams)),                                          \
   METH_VARARGS | METH_KEYWORDS,                                                           \
   "count_ngrams(files, size, word_ids, group_of, strings, shapes, pattern, threads=None, "  \
   "ranked=False)\n--\n\n"                                                                 \
   "N-gram columns of the token arrays `files`, in order of first occurrence (ranked: by "  \
   "frequency)."},
