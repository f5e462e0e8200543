// The engine's n-grams: every n-gram (one to five words) of a corpus with frequency, range and
// range percent, counted on a pool of threads with the interpreter lock released. Texts are read
// on the pool first. N-grams of two or three words whose word numbers pack into one 64-bit key
// are counted in cache-sized buckets (kernels/ngram_buckets.hpp); the others by the kernel
// lm_sequences uses (kernels/ngrams.hpp), each thread counting one hash partition over every
// text. Either way the entries come in order of first occurrence, so the rows come in the
// module's order, with its numbers. Results leave as column buffers:
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
#include "lumora/kernels/ngram_buckets.hpp"
#include "lumora/kernels/ngrams.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace lumora {
namespace ngram_glue {

using counts::Refusal;
using counts::TextRows;

// Filled at their final sizes, so left as allocated (large ones in huge pages).
template <class T>
using Column = std::vector<T, BigAllocator<T, false>>;

struct NgramColumns {
  Column<int64_t> rank, freq, texts;
  Column<float> percent;
  Column<int64_t> offsets = Column<int64_t>(1, 0);  // one more than the rows
  Column<uint8_t> data;
};

// The columns of `rows` rows, row r with frequency freq(r), range range(r) and words words(r, w):
// rank, freq, range, percent of `files` and the n-gram strings, each word's string from
// `strings` joined with single spaces. on_workers(run) calls run(w) for each of `workers`
// workers (each fills its own run of rows) and returns false when cancelled.
template <int N, class OnWorkers, class Freq, class Range, class Words>
void fill_columns(size_t rows, const counts::Strings& strings, double files, NgramColumns& out,
                  unsigned workers, OnWorkers on_workers, Freq freq, Range range, Words words) {
  const int64_t* offsets = strings.offsets;
  out.rank.resize(rows);
  out.freq.resize(rows);
  out.texts.resize(rows);
  out.percent.resize(rows);
  out.offsets.resize(rows + 1);
  out.offsets[0] = 0;
  auto lo = [&](unsigned w) { return rows * w / workers; };
  std::vector<int64_t> bytes(workers, 0);  // per worker: the bytes of its strings
  const bool done = on_workers([&](unsigned w) {
    int64_t sum = 0;
    uint32_t ws[N];
    for (size_t row = lo(w); row < lo(w + 1); ++row) {
      out.rank[row] = static_cast<int64_t>(row + 1);
      out.freq[row] = freq(row);
      const uint32_t r = range(row);
      out.texts[row] = r;
      out.percent[row] = counts::percent_of(static_cast<double>(r), files);
      words(row, ws);
      int64_t len = N - 1;
      for (int k = 0; k < N; ++k) len += offsets[ws[k] + 1] - offsets[ws[k]];
      sum += len;
      out.offsets[row + 1] = len;  // made cumulative below
    }
    bytes[w] = sum;
  });
  if (!done) return;
  int64_t total = 0;
  for (int64_t b : bytes) total += b;
  out.data.resize(static_cast<size_t>(total));
  on_workers([&](unsigned w) {
    int64_t at = 0;
    for (unsigned k = 0; k < w; ++k) at += bytes[k];
    uint8_t* to = out.data.data() + at;
    uint32_t ws[N];
    for (size_t row = lo(w); row < lo(w + 1); ++row) {
      at += out.offsets[row + 1];
      out.offsets[row + 1] = at;
      words(row, ws);
      for (int k = 0; k < N; ++k) {
        if (k > 0) *to++ = ' ';
        const int64_t a = offsets[ws[k]], b = offsets[ws[k] + 1];
        std::memcpy(to, strings.data + a, static_cast<size_t>(b - a));
        to += b - a;
      }
    }
  });
}

// The n-gram list of the texts `paths` for n-grams of N words; shape[g] is the filter's view of
// group g's string.
template <int N>
void ngram_list(const std::vector<std::string>& paths, unsigned threads, const int64_t* word_ids,
                size_t n_words, const counts::Grouping& groups, const uint8_t* shape,
                const ngrams::TagPattern& pattern, bool ranked, engine::Cancel& cancel,
                Refusal& refusal, NgramColumns& out) {
  const unsigned workers = std::max(1u, threads);
  // Runs run(w) for every worker w on the pool; false once cancelled or failed.
  auto on_workers = [&](auto&& run) {
    engine::parallel_for(workers, workers, cancel, [&](size_t w, unsigned) {
      try {
        run(static_cast<unsigned>(w));
      } catch (...) {
        refusal.fail(std::current_exception());
        cancel.raise();
      }
    });
    return !cancel.is_raised();
  };
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
  auto keep = [shape](const uint32_t* w) {
    ngrams::Shape shapes[N];
    for (int k = 0; k < N; ++k) shapes[k] = static_cast<ngrams::Shape>(shape[w[k]]);
    return !ngrams::drops_ngram(shapes, N);
  };
  const double files = static_cast<double>(paths.size());
  if constexpr (N == 2 || N == 3) {
    if (ngrams::packs<N>(groups.strings.n) && ngrams::Buckets<N>::fits(texts)) {
      // Windows packed into keys and spread over buckets, each bucket counted on its own.
      ngrams::Buckets<N> table(texts, workers);
      auto stop = [&cancel] { return cancel.is_raised(); };
      if (!on_workers([&](unsigned w) { table.tally(w, stop); })) return;
      table.place();
      if (!on_workers([&](unsigned w) { table.scatter(w, stop); })) return;
      std::vector<ngrams::TextWindows>().swap(texts);
      table.prepare_counts();
      if (!on_workers([&](unsigned w) { table.count(w, keep, stop); })) return;
      if (table.top_count() > INT32_MAX)
        return refusal.refuse(SIZE_MAX, "a frequency beyond a signed 32-bit count");
      table.prepare_order();
      if (!on_workers([&](unsigned w) { table.mark(w); })) return;
      if (!on_workers([&](unsigned w) { table.gather(w); })) return;
      auto& entries = table.entries();
      using Entry = typename ngrams::Buckets<N>::Entry;
      if (ranked) rank_by_count(entries, [](const Entry& e) { return e.count; });
      fill_columns<N>(
          entries.size(), groups.strings, files, out, workers, on_workers,
          [&entries](size_t r) { return entries[r].count; },
          [&entries](size_t r) { return entries[r].range; },
          [&entries](size_t r, uint32_t* w) { ngrams::unpack<N>(entries[r].key, w); });
      return;
    }
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
    if (keep(table.words(e))) kept.push_back(static_cast<uint32_t>(e));
  }
  if (ranked) rank_by_count(kept, [&freq](uint32_t e) { return freq[e]; });
  fill_columns<N>(
      kept.size(), groups.strings, files, out, workers, on_workers,
      [&](size_t r) { return freq[kept[r]]; },
      [&](size_t r) { return range[kept[r]]; },
      [&](size_t r, uint32_t* w) { std::memcpy(w, table.words(kept[r]), N * sizeof *w); });
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
