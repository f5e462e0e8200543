// The engine's clusters: the windows of one to three tokens around each hit of a search word,
// with frequency, range and range percent, by the kernel lm_bundles counts with
// (kernels/clusters.hpp). Texts are read and their windows numbered on a pool of threads with the
// interpreter lock released; the windows are then counted text after text, so the rows come in
// the module's order of first occurrence whatever the threads. Windows are counted by the
// lexicon's groups (distinct, possibly lower-cased forms): without spaces in the forms, distinct
// tuples of groups join to distinct texts. Results leave as column buffers: int64 ranks,
// frequencies and ranges, float32 percents, the clusters as UTF-8 offsets and bytes joined from
// the groups' strings. No Python object per token or per row.
//
// The Python side (lumora/_counts.py) looks the search word and the tag up as the module does
// and passes their ids with the token-array paths, the word ids in dictionary order, the group
// of each, the groups' strings and their FormShape bits. What the engine cannot reproduce exactly (a
// file that is not a plain token array, a counted id missing from the dictionary, a counted form
// holding a space) raises lumora._lexicon.Unsupported.
#pragma once
#include <Python.h>

#include "lumora/glue/engine_counts.hpp"
#include "lumora/kernels/clusters.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lumora {
namespace cluster_glue {

using counts::Refusal;

struct ClusterColumns {
  std::vector<int64_t> rank, freq, texts;
  std::vector<float> percent;
  std::vector<int64_t> offsets{0};
  std::vector<uint8_t> data;
};

struct ClusterSearch {
  clusters::IdSet word;
  bool has_tag = false;  // a tag filter applies (possibly one that no token passes)
  clusters::IdSet tag;
  int size = 2;
};

// Reads a token array as the module takes one natively: shape (n, 4), or (0,) for a text
// without tokens. False for anything else (the module has NumPy read it).
inline bool read_tokens(const std::string& path, npy::Ints& buf, clusters::TokenView* out) {
  npy::Header h;
  if (!npy::read(path.c_str(), &h, buf)) return false;
  if (h.ndim == 1 && h.shape[0] == 0) {
    *out = clusters::TokenView{buf.data(), 0, 4, 1};
    return true;
  }
  if (h.ndim != 2 || h.shape[1] != 4) return false;
  const auto rows = static_cast<ptrdiff_t>(h.shape[0]);
  *out = h.fortran ? clusters::TokenView{buf.data(), rows, 1, rows}
                   : clusters::TokenView{buf.data(), rows, 4, 1};
  return true;
}

inline void cluster_list(const std::vector<std::string>& paths, unsigned threads,
                         const int64_t* word_ids, size_t n_words, const counts::Grouping& groups,
                         const uint8_t* shapes, const ClusterSearch& search, engine::Cancel& cancel,
                         Refusal& refusal, ClusterColumns& out) {
  const int size = search.size;
  counts::DenseMap dense;
  if (!dense.build(word_ids, n_words)) return refusal.refuse(SIZE_MAX, "word ids repeat");
  const size_t workers = std::max(1u, threads);
  std::vector<npy::Ints> buffers(workers);
  std::vector<std::vector<int64_t>> hoods(workers);
  std::vector<clusters::WindowNumbers> windows(paths.size());
  engine::parallel_for(paths.size(), threads, cancel, [&](size_t i, unsigned w) {
    try {
      clusters::TokenView view{};
      if (!read_tokens(paths[i], buffers[w], &view)) {
        refusal.refuse(i, "not a plain token array: " + paths[i]);
        cancel.raise();
        return;
      }
      hoods[w].clear();
      clusters::collect_hoods(view, search.word, search.has_tag ? &search.tag : nullptr, size,
                              hoods[w]);
      bool known = true;
      // Only the ids of windows that are listed are asked for, as the module looks up only those.
      auto group = [&](int64_t id) -> uint32_t {
        const int64_t g = groups.of(dense.find(id));
        known = known && g >= 0;
        return g >= 0 ? static_cast<uint32_t>(g) : 0;
      };
      const size_t width = 2 * static_cast<size_t>(size) - 1;
      clusters::number_windows(hoods[w].data(), hoods[w].size() / width, size, group, windows[i]);
      if (!known) {
        refusal.refuse(i, "a counted word id is missing from the word dictionary");
        cancel.raise();
      }
    } catch (...) {
      refusal.fail(std::current_exception());
      cancel.raise();
    }
  });
  for (auto& b : buffers) npy::Ints().swap(b);
  hoods.clear();
  if (cancel.is_raised()) return;

  // The module's tables, from the windows of every text in listing order.
  size_t total = 0;
  for (const auto& t : windows) total += t.size();
  clusters::WindowNumbers tuples;
  tuples.reserve(total);
  std::vector<size_t> text_end;
  text_end.reserve(windows.size());
  for (auto& t : windows) {
    tuples.insert(tuples.end(), t.begin(), t.end());
    clusters::WindowNumbers().swap(t);
    text_end.push_back(tuples.size() / static_cast<size_t>(size));
  }
  std::vector<clusters::WindowNumbers>().swap(windows);
  if (cancel.is_raised()) return;
  clusters::WindowCounts counted(size);
  // Windows of one word (size 1) are as many as the word's ids at most.
  const size_t distinct = size == 1 ? search.word.size() : size_t{1} << 22;
  clusters::count_windows(tuples, text_end, size, distinct, counted);
  clusters::WindowNumbers().swap(tuples);
  if (cancel.is_raised()) return;

  const auto files = static_cast<double>(paths.size());
  const size_t n = counted.windows.size();
  std::vector<uint32_t> listed;
  listed.reserve(n);
  int64_t bytes = 0;
  for (size_t g = 0; g < n; ++g) {
    const uint32_t* key = counted.windows.key(g);
    uint8_t e[clusters::kMaxSize];  // the window's form shapes
    int64_t len = size - 1;
    for (int k = 0; k < size; ++k) {
      e[k] = shapes[key[k]];
      len += groups.strings.offsets[key[k] + 1] - groups.strings.offsets[key[k]];
    }
    for (int k = 0; k < size; ++k)
      if (e[k] & clusters::kFormSpaced)
        return refusal.refuse(SIZE_MAX, "a counted word form holds a space");
    if (clusters::window_is_punctuation(e, size)) continue;
    listed.push_back(static_cast<uint32_t>(g));
    bytes += len;
  }
  out.rank.reserve(listed.size());
  out.freq.reserve(listed.size());
  out.texts.reserve(listed.size());
  out.percent.reserve(listed.size());
  out.offsets.reserve(listed.size() + 1);
  out.data.resize(static_cast<size_t>(bytes));
  uint8_t* to = out.data.data();
  for (uint32_t g : listed) {
    const clusters::WindowCounts::Count& c = counted.counts[g];
    out.rank.push_back(static_cast<int64_t>(out.rank.size()) + 1);
    out.freq.push_back(c.total);
    out.texts.push_back(c.texts);
    out.percent.push_back(counts::percent_of(static_cast<double>(c.texts), files));
    const uint32_t* key = counted.windows.key(g);
    for (int k = 0; k < size; ++k) {
      if (k > 0) *to++ = ' ';
      const int64_t a = groups.strings.offsets[key[k]], b = groups.strings.offsets[key[k] + 1];
      std::memcpy(to, groups.strings.data + a, static_cast<size_t>(b - a));
      to += b - a;
    }
    out.offsets.push_back(to - out.data.data());
  }
}

inline void ids_of(PyObject* obj, const char* what, clusters::IdSet& into) {
  counts::ArrayArg<int64_t> ids;
  ids.acquire(obj, "lq", what);
  into.assign(std::vector<int64_t>(ids.data(), ids.data() + ids.size()));
}

// count_clusters(files, size, word_ids, group_of, strings, shapes, search_ids, tag_ids,
//                threads=None)
//   -> (rank, (offsets, data) of the clusters, freq, texts, percent), in order of first
//   occurrence. tag_ids None: no tag filter.
inline PyObject* engine_count_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",  "size",       "word_ids", "group_of", "strings",
                               "shapes", "search_ids", "tag_ids",  "threads",  nullptr};
    PyObject *files, *ids_obj, *group_obj, *strings_obj, *shapes_obj, *search_obj, *tag_obj;
    PyObject* threads_obj = nullptr;
    int size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiOOOOOO|O:count_clusters",
                                     const_cast<char**>(kw), &files, &size, &ids_obj, &group_obj,
                                     &strings_obj, &shapes_obj, &search_obj, &tag_obj,
                                     &threads_obj))
      return nullptr;
    if (size < 1 || size > clusters::kMaxSize) {
      PyErr_SetString(PyExc_ValueError, "size must be from 1 to 3");
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
      PyErr_SetString(PyExc_ValueError, "shapes: one per group expected");
      return nullptr;
    }
    ClusterSearch search;
    search.size = size;
    ids_of(search_obj, "search_ids", search.word);
    if (tag_obj != Py_None) {
      search.has_tag = true;
      ids_of(tag_obj, "tag_ids", search.tag);
    }
    unsigned threads = counts::threads_of(threads_obj);
    Refusal refusal;
    ClusterColumns out;
    run_released([&](engine::Cancel& cancel) {
      cluster_list(paths, threads, ids.data(), ids.size(), groups.grouping, shapes.data(), search,
                   cancel, refusal, out);
    });
    counts::settle(refusal);
    return counts::sequence_columns(out);
  });
}

}  // namespace cluster_glue

inline int engine_clusters_exec(PyObject*) { return 0; }

}  // namespace lumora

#define LUMORA_ENGINE_CLUSTER_METHODS                                                       \
  {"count_clusters",                                                                        \
   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                          \
       lumora::cluster_glue::engine_count_clusters)),                                       \
   METH_VARARGS | METH_KEYWORDS,                                                            \
   "count_clusters(files, size, word_ids, group_of, strings, shapes, search_ids, tag_ids, "  \
   "threads=None)\n--\n\n"                                                                  \
   "Cluster columns of the token arrays `files` around the ids `search_ids`, in order of " \
   "first occurrence."},
